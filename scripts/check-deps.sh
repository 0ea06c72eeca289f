#!/usr/bin/env bash
# Checks that scripts/install-deps.sh installs every command the project runs: each command that
# the scripts, the CMake files and the test, bench and tool sources start must come, as dpkg says
# of its file, from a package of that list, from one those depend on, or from Debian's minimal
# base (priority required). Run it after install-deps.sh: a command not found at all is then one
# that nothing installs.
#
# Commands are found by pattern, not by running anything, so it misses what it cannot read: a
# command held in a variable or run from inside a string (bash -c, eval, trap, ip netns exec's
# command after a variable), Windows programs (they run under Wine), and in C++ a command named
# other than by a string that starts a command line for the process helpers (a name that is no
# installed command is then taken for data). Commands are looked up in the system's own folders
# only: nothing of /usr/local is there on a fresh machine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Run only where present: an ordinary user's sudo.
optional=" sudo "
# Words that look like commands and are not: ip's "route".
not_commands=" route "

# must: in a command's place, so it has to exist. maybe: a string that names a command when an
# installed one has that name.
mapfile -t scripts < <(find scripts tests bench platform -name '*.sh'; echo .ci/run)
mapfile -t sources < <(find tests bench tools -name '*.cpp' -o -name '*.h')
mapfile -t cmake_files < <(find . -path ./build -prune -o \( -name CMakeLists.txt -o -name '*.cmake' \) -print)
found=$(
    for script in "${scripts[@]}"; do
        bash --pretty-print "$script" | perl -0777 -ne '
            sub scan {
                local $_ = shift;
                s/<<-?\s*["\x27]?(\w+)["\x27]?([^\n]*)\n.*?^\1$/$2/gms;  # here-documents
                s/\$\(\([^()]*\)\)//g;                                  # arithmetic
                my @inner;                                              # strings, but their $(...)
                s{"((?:\\.|[^"\\])*)"|\x27[^\x27]*\x27}{
                    my $s = $1 // ""; push @inner, $1 while $s =~ /\$\(([^()]*)/g;
                    $s =~ /^\$\{\w+\[@\]\}$/ ? "\$A" : "\$Q"}gse;
                1 while s/\$\{[^{}]*\}/\$Q/g;                              # ${...}
                print "maybe $1\n" while /\b\w+\+?=\(\s*([\w\/][\w\/.+-]*)/g; # arrays: maybe commands
                s/\b\w+\+?=\([^()]*\)//g;
                s/^[ \t]*[^\s()][^()\n]*\)[ \t]*$//gm;                        # case patterns
                s/\d*[<>]+&\d*-?/ /g;                                   # 2>&1
                for (split /[;&|(){}\n`]/) {
                    my @w = split;
                    while (@w) {
                        my $w = shift @w;
                        # Keywords, assignments, redirections, "${wrapper[@]}": before the command
                        next if $w =~ /^(if|then|else|elif|do|while|until|!|time|exec|builtin|nohup|\$A)$/
                            || $w =~ /^\w+(\[[^]]*\])?\+?=/ || $w =~ /^\d*[<>]/;
                        last if $w =~ /^(for|case|select|function|command)$/
                            || $w !~ m{^[\w/][\w/.+-]*$};
                        print "must $w\n";
                        # The command such a wrapper runs, after its options.
                        last unless $w =~ /^(env|sudo|setsid|timeout|nice|setpriv|xargs|unshare)$/;
                        while (@w && ($w[0] =~ /^-|=/
                                      || ($w eq "timeout" && $w[0] =~ /^[\d.]+[smhd]?$/))) {
                            shift @w if shift(@w) =~ /^-[uCnsk]$/;  # and its argument
                        }
                    }
                }
                scan($_) for @inner;
            }
            scan($_);'
    done
    perl -0777 -ne '
        my $helper = qr/\b(?:runToEnd|runChecked|run|output|outputOf|asSessionUser|Child(?:\s+\w+)?)/;
        print "must $1\n" while /$helper\s*\(\s*(?:joined\s*\(\s*)?\{\s*"([^"\s]+)"/g;
        print "must $1\n" while /\bcommand\s*=\s*"([^"\s]+)\s/g;
        print "maybe $1\n" while /"([\w\/][\w\/.+-]*)"/g;' "${sources[@]}"
    perl -ne 'print "must $1\n" while /\bCOMMAND\s+([\w\/][\w\/.+-]*)/g;
        print "maybe $1\n" while /\b(?:CMAKE_\w+_COMPILER|CMAKE_CROSSCOMPILING_EMULATOR)\s+([\w\/.+-]+)/g;' \
        "${cmake_files[@]}"
    perl -ne 'print "maybe $1\n" while /"CMAKE_\w+_COMPILER":\s*"([^"]+)"/g;' CMakePresets.json
)

functions=" $(perl -ne 'print "$1 " if /^\s*(?:function\s+)?([\w-]+)\s*\(\)/' "${scripts[@]}") "
shell_words=" $(compgen -b -k | tr '\n' ' ') "
declare -A installed=() # every command of the system's folders: its file, the first in PATH order
for file in /usr/sbin/* /usr/bin/* /sbin/* /bin/*; do
    [ -n "${installed[${file##*/}]:-}" ] || { [ -x "$file" ] && [ ! -d "$file" ] && installed[${file##*/}]=$file; }
done
declare -A path=() # command: its file
missing=()
while read -r kind command; do
    [[ -v path[$command] ]] && continue
    # The project's own files and functions, the shell's words.
    [[ $command == */* && $command != /* ]] && continue
    [[ "$functions$shell_words$not_commands" == *" $command "* ]] && continue
    if [[ $command == /* ]]; then
        file=$command
        [ -x "$file" ] && [ ! -d "$file" ] || file=""
    else
        file=${installed[$command]:-}
    fi
    if [ -n "$file" ]; then
        path[$command]=$file
    elif [ "$kind" = must ] && [[ $optional != *" $command "* ]]; then
        missing+=("$command")
        path[$command]=""
    fi
done < <(sort -u <<<"$found")

# What the list installs, with all it depends on, and the minimal base.
mapfile -t listed < <(bash scripts/install-deps.sh --list)
provided=" $(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "${listed[@]}" | grep -v '^ ' | sed 's/:.*//' | sort -u |
    tr '\n' ' ') $(dpkg-query -W -f='${Package} ${Priority}\n' | awk '$2 == "required" { printf "%s ", $1 }') "

status=0
for command in "${missing[@]}"; do
    echo "not ok - $command: not installed, and install-deps.sh installs nothing that has it"
    status=1
done
# dpkg knows a file by the path its package ships: /bin or /usr/bin, the link or its target.
candidates() { echo "$1" "$(realpath "$1")" "${1#/usr}" "$(realpath "$1" | sed 's|^/usr||')"; }
declare -A owners=() # file: its packages
mapfile -t files < <(for file in "${path[@]}"; do [ -z "$file" ] || candidates "$file"; done | tr ' ' '\n' | sort -u)
while IFS= read -r line; do
    owners[${line##*: }]+=" $(sed 's/:[a-z0-9]*//g; s/,/ /g' <<<"${line%: *}")"
done < <(dpkg-query -S "${files[@]}" 2>/dev/null | grep -v '^diversion')
for command in "${!path[@]}"; do
    file=${path[$command]}
    [ -n "$file" ] || continue
    from=""
    for candidate in $(candidates "$file"); do from+=${owners[$candidate]:-}; done
    ok=0
    for owner in $from; do
        [[ $provided == *" $owner "* ]] && ok=1
    done
    if [ "$ok" -eq 0 ]; then
        echo "not ok - $command ($file, from ${from:-no package}): install-deps.sh does not install it"
        status=1
    fi
done
[ "$status" -ne 0 ] || echo "ok - the ${#path[@]} commands the project runs come from its packages"
exit $status
