# Bash completion for velmora-cli. Method names come from the running station ("help"); without
# one the names this client knows are offered.

_velmora_cli_methods()
{
    local listed
    listed=$(velmora-cli --timeout-ms 500 "${_velmora_cli_endpoint[@]}" help 2>/dev/null | awk '/^[a-z]/ {print $1}')
    if [[ -n $listed ]]; then
        echo "$listed"
    else
        echo "system.ping system.info system.methods connection.status connection.connect connection.disconnect fleet.status
              vehicle.resolveTarget vehicle.list vehicle.setActive telemetry.snapshot alerts.active
              vehicle.linkStats params.read params.write params.get params.set control.command
              command.status console.tail account.status account.login account.logout
              remote.start remote.stop"
    fi
}

_velmora_cli()
{
    local cur prev i command=""
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    _velmora_cli_endpoint=()
    # The first word that is neither an option nor an option's value is the command.
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --timeout-ms) ((i++)) ;;
            --endpoint) _velmora_cli_endpoint=(--endpoint "${COMP_WORDS[i+1]}"); ((i++)) ;;
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done

    case $prev in
        --endpoint) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --timeout-ms|--interval-ms|--vehicle-id|--timeout-s) return ;;
    esac

    case $command in
        "")
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "--json --timeout-ms --endpoint --version --help" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "watch console params help firmware-update login logout vehicles remote
                                           $(_velmora_cli_methods)" -- "$cur"))
            fi ;;
        watch) COMPREPLY=($(compgen -W "--interval-ms --vehicle-id" -- "$cur")) ;;
        console) COMPREPLY=($(compgen -W "--follow" -- "$cur")) ;;
        help) COMPREPLY=($(compgen -W "$(_velmora_cli_methods)" -- "$cur")) ;;
        params)
            if [[ $prev == params ]]; then
                COMPREPLY=($(compgen -W "basic stab pos res fixedStab fixedPos" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "--vehicle-id" -- "$cur"))
            fi ;;
        control.command) COMPREPLY=($(compgen -W "--wait --timeout-s" -- "$cur")) ;;
        mission.upload) COMPREPLY=($(compgen -W "--wait --verify" -- "$cur")) ;;
        mission.download) COMPREPLY=($(compgen -W "--wait" -- "$cur")) ;;
        firmware-update) COMPREPLY=($(compgen -f -- "$cur")) ;;
        remote) COMPREPLY=($(compgen -W "--stop" -- "$cur")) ;;
    esac
}

complete -F _velmora_cli velmora-cli
