# bash completion for ombrix-fwupdate
_ombrix_fwupdate() {
    local current previous
    current=${COMP_WORDS[COMP_CWORD]}
    previous=${COMP_WORDS[COMP_CWORD - 1]}
    case $previous in
        --device)
            # The attached instruments, as the program lists them.
            local names
            names=$("${COMP_WORDS[0]}" list 2>/dev/null | grep '^DEV' | cut -d' ' -f1)
            mapfile -t COMPREPLY < <(compgen -W "$names" -- "$current")
            return
            ;;
        --port)
            # The bare USB controllers, by the port the program lists them at.
            local ports
            ports=$("${COMP_WORDS[0]}" list 2>/dev/null | sed -n 's/^bare USB controller  port \([^ ]*\) .*/\1/p')
            mapfile -t COMPREPLY < <(compgen -W "$ports" -- "$current")
            return
            ;;
        --trace)
            mapfile -t COMPREPLY < <(compgen -f -- "$current")
            return
            ;;
        --speed-up|--instruments)
            return
            ;;
        --fault)
            # The fault kinds, as the program's help lists them.
            local kinds
            kinds=$("${COMP_WORDS[0]}" --help 2>/dev/null | sed -n '/--fault KIND/,/^  -/{s/^ \{20,\}\([a-z-]*\): .*/\1/p}')
            mapfile -t COMPREPLY < <(compgen -W "$kinds" -- "$current")
            return
            ;;
    esac
    if [[ $current == --simulate=* ]]; then
        mapfile -t COMPREPLY < <(compgen -P --simulate= -W "outdated current blank bare" -- "${current#--simulate=}")
        return
    fi
    if [[ $current == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "--device --port --simulate --simulate= --speed-up --instruments --fault --trace --json
            --yes --quiet --verbose --help --version -y -q -v -h" -- "$current")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -W "list verify program recover halt power-cycle versions" -- "$current")
}
complete -F _ombrix_fwupdate ombrix-fwupdate
