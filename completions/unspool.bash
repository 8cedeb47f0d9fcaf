# Bash completion for the unspool command: its options, files for ARCHIVE, folders for
# -d and for DESTDIR, code pages for -O and --names, and the values of --date. Installed to
# share/bash-completion/completions/unspool, where bash-completion loads it on first use;
# it needs nothing of bash-completion itself, so `source` works as well.

_unspool()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--date=fi": bash splits at "=", so the option is two words back.
    if [ "$prev" = "=" ] && [ "$COMP_CWORD" -gt 1 ]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    elif [ "$cur" = "=" ]; then
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        cur=
    fi
    COMPREPLY=()

    case $prev in
    -d | -[!-]*d)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return ;;
    -O | -[!-]*O | --names)
        mapfile -t COMPREPLY < <(compgen -W '437 850 852 866 932 936 949 950 1250 1251
            1252 1253 1254 1255 1256 1257 1258 GBK BIG5 SJIS UTF-8' -- "$cur")
        return ;;
    --date)
        mapfile -t COMPREPLY < <(compgen -W 'file now newest' -- "$cur")
        return ;;
    -p | -[!-]*p | -f | -[!-]*f | -x | -[!-]*x | -T | -[!-]*T)
        # A password, a mask or a number: nothing to offer.
        return ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-d -f -x -C -l -t -c --stdout -z --json -p -o -n
            -j -K -T -O --names --date --no-attributes -q -v --identify -h --help --version' \
            -- "$cur")
        return
    fi

    # The first word that is not an option or an option's value is the archive; the one
    # after it the destination folder (with -c, names inside the archive: nothing to offer).
    local i word positional=0 stdout=0 skip=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        # "--date=now" comes as three words: the value follows the "=".
        if [ "$word" = "=" ]; then skip=1; continue; fi
        if [ $skip -eq 1 ]; then skip=0; continue; fi
        case $word in
        --) ;;
        --names | --date) skip=1 ;;
        --stdout) stdout=1 ;;
        --*) ;;
        -*)
            [[ $word == -*c* ]] && stdout=1
            # A value option that ends its cluster takes the next word.
            [[ $word == -*[pfxdOT] ]] && skip=1 ;;
        *) positional=$((positional + 1)) ;;
        esac
    done
    compopt -o filenames 2>/dev/null
    if [ $positional -eq 0 ]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    elif [ $stdout -eq 0 ] && [ $positional -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    fi
}
complete -F _unspool unspool
