# bash completion for qvx                                    -*- shell-script -*-
# Installed as share/bash-completion/completions/qvx.

_qvx()
{
    local cur prev words cword
    _init_completion || return

    local commands="a x t l sfx"
    local sfx_options="--title --folder --command --overwrite --command-dir --product --product-version
        --company --copyright --description --icon --elevate --no-switches
        --banner --intro --help-text --support --texts"
    local command=${words[1]}

    if ((cword == 1)); then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi

    case $prev in
        --stub | --icon | --texts)
            _filedir
            return
            ;;
        -o | --output | -C)
            _filedir -d
            return
            ;;
        --symlinks)
            COMPREPLY=($(compgen -W "follow skip store-target" -- "$cur"))
            return
            ;;
        --elevate)
            COMPREPLY=($(compgen -W "admin highest" -- "$cur"))
            return
            ;;
        --command-dir)
            COMPREPLY=($(compgen -W "dest" -- "$cur"))
            return
            ;;
        --level)
            COMPREPLY=($(compgen -W "0 1 2 3 4 5 6 7 8 9" -- "$cur"))
            return
            ;;
        --title | --folder | --command | --product | --product-version | --company | --copyright | \
            --description | --stream-size | -T | --threads | -x | --exclude | -i | --include)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options
        case $command in
            a) options="-0 -1 -2 -3 -4 -5 -6 -7 -8 -9 --level --stream-size -T --threads -x --exclude -i
                --include --null -C --symlinks -f --force --sfx --stub -q --quiet -v --verbose $sfx_options" ;;
            x) options="-o --output -y --yes --force --no-space-check -q --quiet -v --verbose" ;;
            t) options="-q --quiet -v --verbose" ;;
            l) options="--json" ;;
            sfx) options="-f --force --wrap-damaged $sfx_options" ;;
        esac
        COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
        return
    fi

    case $command in
        x | t | l) _filedir '@(qvx|exe)' ;;
        *) _filedir ;;
    esac
} &&
    complete -F _qvx qvx

# ex: filetype=sh
