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

case_two() {
    wait_devices 2 || return
    step list $program list
    # Two listings at once, ten times: each opens both instruments for a
    # moment, and each must still list both.
    round=0
    short=0
    while [ $round -lt 10 ]; do
        $program list >/tmp/list_a.out 2>&1 &
        a=$!
        $program list >/tmp/list_b.out 2>&1 &
        b=$!
        wait $a
        wait $b
        for listing in /tmp/list_a.out /tmp/list_b.out; do
            if ! grep -q "^DEV1  port" $listing || ! grep -q "^DEV2  port" $listing; then
                short=$((short + 1))
                cat $listing
            fi
        done
        round=$((round + 1))
    done
    echo "@@short-listings $short"
    $program program --yes --device DEV1 >/tmp/dev1.out 2>&1 &
    first=$!
    $program program --yes --device DEV2 >/tmp/dev2.out 2>&1 &
    second=$!
    wait $first
    first_status=$?
    wait $second
    second_status=$?
    echo "@@run dev1"
    cat /tmp/dev1.out
    echo "@@exit dev1 $first_status"
    echo "@@run dev2"
    cat /tmp/dev2.out
    echo "@@exit dev2 $second_status"
}

case_kill() {
    wait_devices 1 || return
    $program program --yes --json >/tmp/killed.json 2>/tmp/killed.err &
    victim=$!
    tries=0
    until grep -q '"item":"bitstream","phase":"erase"' /tmp/killed.json; do
        tries=$((tries + 1))
        if [ $tries -gt 3000 ]; then
            break
        fi
        usleep 10000
    done
    usleep 300000
    if grep -q '"item":"bitstream","phase":"program"' /tmp/killed.json; then
        echo "@@killed after-programming"
    elif grep -q '"item":"bitstream","phase":"erase"' /tmp/killed.json; then
        echo "@@killed while-programming"
    else
        echo "@@killed before-erasing"
    fi
    kill -9 $victim
    wait $victim
    echo "@@killed-status $?"
    grep -v '"type":"progress"' /tmp/killed.json
    step verify $program verify
    step program $program program --yes
    step verify_after $program verify
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
