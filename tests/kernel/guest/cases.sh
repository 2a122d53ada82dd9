# The cases of the real-kernel test bed, one function each, run by /init.
# Each step prints "@@run NAME", the command's output (standard output and
# error), then "@@exit NAME STATUS"; the host test reads them back.

program=/bin/ombrix-fwupdate

step() {
    name=$1
    shift
    echo "@@run $name"
    "$@" >"/tmp/$name.out" 2>&1
    status=$?
    cat "/tmp/$name.out"
    echo "@@exit $name $status"
}

# The command as the unprivileged user "tester" (root's su asks no password).
as_user() {
    su -s /bin/sh tester -c "$*"
}

# Waits up to 30 s until count devices (root hubs aside) are on the bus.
wait_devices() {
    count=$1
    tries=0
    while [ "$(ls -d /sys/bus/usb/devices/*-* 2>/dev/null | grep -vc :)" -lt "$count" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 300 ]; then
            echo "@@devices-missing"
            ls /sys/bus/usb/devices
            dmesg | grep -i usb | tail -20
            return 1
        fi
        usleep 100000
    done
    echo "@@devices $count"
}

# What a udev rule granting access does, a moment after each node appears.
udev_standin() {
    while :; do
        chmod 666 /dev/bus/usb/*/* 2>/dev/null
        usleep 300000
    done
}

case_current() {
    wait_devices 1 || return
    step list $program list
    step verify $program verify
    dmesg | grep -i usb | tail -20
}

case_older() {
    wait_devices 1 || return
    step verify $program verify
}

# Waits up to 30 s for a bare controller (the controller's own ids) on the bus.
wait_bare() {
    tries=0
    while :; do
        for device in /sys/bus/usb/devices/*; do
            ids="$(cat $device/idVendor 2>/dev/null):$(cat $device/idProduct 2>/dev/null)"
            if [ "$ids" = "04b4:8613" ]; then
                echo "@@bare $ids"
                return 0
            fi
        done
        tries=$((tries + 1))
        if [ $tries -gt 300 ]; then
            echo "@@bare none"
            ls /sys/bus/usb/devices
            dmesg | grep -i usb | tail -20
            return 1
        fi
        usleep 100000
    done
}

# The host cuts the power in the middle of the USB firmware's EEPROM write:
# the controller comes back bare, and recover, at the port list names, brings
# the instrument back and up to date.
case_recover() {
    wait_devices 1 || return
    step program $program program --yes
    wait_bare || return
    step list $program list
    port=$(sed -n 's/^bare USB controller  port \([^ ]*\).*/\1/p' /tmp/list.out)
    step recover $program recover --yes --port "$port"
    step verify $program verify
}

case_commands() {
    wait_devices 1 || return
    step halt $program halt
    step power_cycle $program power-cycle
}

case_lost_restart() {
    wait_devices 1 || return
    step verify $program verify
}

case_access() {
    wait_devices 1 || return
    chmod 600 /dev/bus/usb/*/*
    step denied as_user $program list
    chmod 666 /dev/bus/usb/*/*
    step allowed as_user $program list
    # After the restart the instrument is a new node, which starts as root's
    # alone until the rule's stand-in reaches it.
    udev_standin &
    standin=$!
    step restarted as_user $program verify
    kill $standin
}

# A production bench: several instruments listed by several processes at
# once, then all of them programmed by one program --all, its child
# processes killed with SIGKILL while they write, and a second program --all
# repairing them. The history tells the killed runs from the whole ones.
case_all() {
    count=$1
    wait_devices "$count" || return
    history=/tmp/history.jsonl
    step list $program list
    # Two listings at once, five times: each opens every instrument for a
    # moment, and each must still list them all.
    round=0
    short=0
    while [ $round -lt 5 ]; do
        $program list >/tmp/list_a.out 2>&1 &
        a=$!
        $program list >/tmp/list_b.out 2>&1 &
        b=$!
        wait $a
        wait $b
        for listing in /tmp/list_a.out /tmp/list_b.out; do
            if [ "$(grep -c '^DEV[0-9]*  port' $listing)" -ne "$count" ]; then
                short=$((short + 1))
                cat $listing
            fi
        done
        round=$((round + 1))
    done
    echo "@@short-listings $short"
    $program program --all --yes --json --history $history >/tmp/killed.json 2>/tmp/killed.err &
    victim=$!
    tries=0
    until [ "$(grep -c '"item":"bitstream","phase":"erase"' /tmp/killed.json)" -ge "$count" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 6000 ]; then
            break
        fi
        usleep 10000
    done
    usleep 300000
    if grep -q '"item":"bitstream","phase":"program"' /tmp/killed.json; then
        echo "@@killed after-programming"
    elif [ "$(grep -c '"item":"bitstream","phase":"erase"' /tmp/killed.json)" -ge "$count" ]; then
        echo "@@killed while-programming"
    else
        echo "@@killed before-erasing"
    fi
    # The parent and every child at once, as a power cut of the bench's host would.
    killall -9 ombrix-fwupdate
    wait $victim
    echo "@@killed-status $?"
    step history_killed $program history --history $history
    echo "@@no-end-after-kill $(grep -c 'no end recorded' /tmp/history_killed.out)"
    step program_all $program program --all --yes --history $history
    step history $program history --history $history --json
    echo "@@no-end $(grep -c '"result":"no end recorded"' /tmp/history.out)"
    echo "@@updated $(grep -c '"result":"updated"' /tmp/history.out)"
}

case_all3() {
    case_all 3
}

case_usbmon() {
    wait_devices 1 || return
    /bin/usbmon-tool capture 0 /tmp/usbmon.pcap 2>/tmp/capture.err &
    capture=$!
    tries=0
    until grep -q ready /tmp/capture.err; do
        tries=$((tries + 1))
        if [ $tries -gt 500 ]; then
            break
        fi
        usleep 10000
    done
    step verify $program verify --trace /tmp/trace.pcap
    kill -TERM $capture
    wait $capture
    cat /tmp/capture.err
    /bin/usbmon-tool digest /tmp/usbmon.pcap >/tmp/usbmon.digest
    /bin/usbmon-tool digest /tmp/trace.pcap >/tmp/trace.digest
    echo "@@digest usbmon $(wc -l </tmp/usbmon.digest)"
    echo "@@digest trace $(wc -l </tmp/trace.digest)"
    if cmp -s /tmp/usbmon.digest /tmp/trace.digest; then
        echo "@@digests-equal"
    else
        diff /tmp/usbmon.digest /tmp/trace.digest | head -40
        echo "@@digests-differ"
    fi
}

# A trial boot that only has to reach its end (the host's choice of
# accelerator).
case_probe() {
    :
}
