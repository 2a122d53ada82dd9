# bash completion for ombrix-fwupdate
#
# bash splits "--simulate=cu" into "--simulate" "=" "cu", and "usb:1-2" at the
# ':' (both are in COMP_WORDBREAKS): the words are joined again here, matched
# whole, and only the part after the last split is handed back, which is what
# bash replaces.

# The options that take a value as the next word (or after '=').
_ombrix_fwupdate_takes_value() {
    case $1 in
        --device | --port | --serial | --trace | --speed-up | --instruments | --fault | --history | --last) return 0 ;;
    esac
    return 1
}

# The attached instruments as the program lists them, simulated like the
# command line being completed: its --simulate (and kind) and --instruments.
_ombrix_fwupdate_list() {
    local program=$1
    shift
    local arguments=() i
    for ((i = 1; i <= $#; i++)); do
        local word=${!i} next_index=$((i + 1))
        local next=${!next_index-}
        case $word in
            --simulate=* | --instruments=*) arguments+=("$word") ;;
            --simulate)
                arguments+=("$word")
                case $next in outdated | current | blank | bare) arguments+=("$next") ;; esac
                ;;
            --instruments) [[ -n $next ]] && arguments+=("$word" "$next") ;;
        esac
    done
    ((${#arguments[@]} > 0)) && arguments+=(--speed-up 0)
    "$program" list "${arguments[@]}" 2>/dev/null
}

# COMPREPLY: the candidates that begin with the current word, less the part
# of it that bash does not replace; those from the program's list quoted.
_ombrix_fwupdate_reply() {
    local current=$1 kept=$2
    shift 2
    local candidate
    COMPREPLY=()
    for candidate in "$@"; do
        if [[ $candidate == "$current"* ]]; then
            candidate=${candidate:kept}
            [[ $candidate == *[^A-Za-z0-9_.,:=@%+/-]* ]] && candidate=$(printf '%q' "$candidate")
            COMPREPLY+=("$candidate")
        fi
    done
}

_ombrix_fwupdate() {
    local words=() i token
    for ((i = 0; i <= COMP_CWORD; i++)); do
        token=${COMP_WORDS[i]}
        if ((i > 1)) && [[ $token == [=:] || ${COMP_WORDS[i - 1]} == [=:] ]]; then
            words[${#words[@]} - 1]+=$token
        else
            words+=("$token")
        fi
    done
    local current=${words[${#words[@]} - 1]}
    local typed=${COMP_WORDS[COMP_CWORD]}
    [[ $typed == [=:] ]] && typed=
    local kept=$((${#current} - ${#typed}))
    local previous=
    ((${#words[@]} > 1)) && previous=${words[${#words[@]} - 2]}

    # An option's value: after the option, or after its '='.
    local option= prefix=
    if [[ $current == --*=* ]]; then
        option=${current%%=*}
        prefix=$option=
    elif _ombrix_fwupdate_takes_value "$previous"; then
        option=$previous
    fi
    local program=${COMP_WORDS[0]}
    local values=() line
    case $option in
        --simulate)
            values=(outdated current blank bare)
            ;;
        --device | --serial | --port)
            while IFS= read -r line; do
                case $option:$line in
                    --device:DEV*) values+=("${line%% *}") ;;
                    --serial:DEV*\ \ serial\ *)
                        line=${line#*  serial }
                        values+=("${line%% *}")
                        ;;
                    --port:DEV*\ \ port\ * | --port:bare\ USB\ controller\ \ port\ *)
                        line=${line#*  port }
                        values+=("${line%%  *}")
                        ;;
                esac
            done < <(_ombrix_fwupdate_list "$program" "${words[@]:1:${#words[@]}-2}")
            ;;
        --trace | --history)
            mapfile -t values < <(compgen -f -- "${current#"$prefix"}")
            ;;
        --fault)
            # The fault kinds, as the program's help lists them.
            mapfile -t values < <("$program" --help 2>/dev/null |
                sed -n '/--fault KIND/,/^  -/{s/^ \{20,\}\([a-z-]*\): .*/\1/p}')
            ;;
        --speed-up | --instruments | --last)
            # A number: nothing to offer.
            return
            ;;
    esac
    if [[ -n $option ]]; then
        _ombrix_fwupdate_reply "$current" "$kept" "${values[@]/#/$prefix}"
        return
    fi

    # Once a command is on the line, only options.
    local commands=(list verify program recover halt power-cycle versions history help) command_given=
    for ((i = 1; i < ${#words[@]} - 1; i++)); do
        if _ombrix_fwupdate_takes_value "${words[i]}"; then
            ((i++))
        elif [[ " ${commands[*]} " == *" ${words[i]} "* ]]; then
            command_given=yes
        fi
    done
    local options=(--device --port --serial --simulate --simulate= --speed-up --instruments --fault
        --trace --all --json --yes --quiet --verbose --history --no-history --last --csv --help --version
        -y -q -v -h)
    if [[ $current == -* || -n $command_given ]]; then
        _ombrix_fwupdate_reply "$current" "$kept" "${options[@]}"
    else
        _ombrix_fwupdate_reply "$current" "$kept" "${commands[@]}"
    fi
}
complete -F _ombrix_fwupdate ombrix-fwupdate
