#!/usr/bin/env bash
# check_layers.sh - every #include "..." under src/ points down the layer
# table below (or stays inside its own unit), and nothing outside
# src/platform/ includes an operating-system header or tests the platform.
#
#   check_layers.sh [SRC_DIR]     checks SRC_DIR (default: the repository's src/)
#   check_layers.sh --self-test   also proves that each known wrong arrow fails
#
# A unit is a folder or file stem under src/; a file belongs to the unit with
# the longest matching stem. The table says which units each unit may include.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)

# unit stem -> layer
declare -A layer_of=(
  [common]=common
  [platform]=platform
  [platform/posix]=posix
  [platform/win32]=win32
  [platform/server]=platform_server
  [platform/posix/net_server]=platform_server
  [platform/win32/net_server]=platform_server
  [platform/posix/restore]=platform_server
  [platform/win32/restore]=platform_server
  [runtime]=runtime
  [keys]=keys
  [protocol]=protocol
  [report]=report
  [backup/schedule]=schedule
  [backup]=backup
  [agent/ipc]=mailslot
  [agent]=agent
  [tools/ctl]=ctl
  [tools/server]=server
)

# layer -> the layers it may include (itself included)
declare -A allowed=(
  [common]="common"
  [platform]="platform common"
  [posix]="posix platform common"
  [win32]="win32 platform common"
  [platform_server]="platform_server posix win32 platform common"
  [runtime]="runtime platform common"
  [keys]="keys platform common"
  [protocol]="protocol runtime platform common"
  [report]="report protocol keys runtime platform common"
  [schedule]="schedule keys runtime platform common"
  [backup]="backup schedule report protocol keys runtime platform common"
  [mailslot]="mailslot runtime platform common"
  [agent]="agent mailslot backup schedule report protocol keys runtime platform common"
  [ctl]="ctl mailslot backup schedule report protocol keys runtime platform_server platform common"
  [server]="server platform_server schedule protocol keys runtime platform common"
)

# Headers of the operating system, and tests for which system this is.
os_headers='<(windows|winsock2?|ws2tcpip|winbase|winnt|winioctl|aclapi|accctrl|sddl|dbghelp|shlobj|shellapi|lmcons|iphlpapi|io|direct|process|unistd|fcntl|dirent|pthread|poll|netdb|dlfcn|termios|pwd|grp|spawn|syslog|semaphore|mqueue|ifaddrs|malloc|(sys|net|netinet|arpa|linux)/[a-z_0-9]+)\.h>'
os_tests='(defined[[:space:]]*[(]?[[:space:]]*|#[[:space:]]*if(n)?def[[:space:]]+)(_WIN32|_WIN64|WIN32|__MINGW32__|__MINGW64__|__linux__|__unix__|__APPLE__|_MSC_VER)([^A-Za-z0-9_]|$)'

# Checks the tree at $1; prints every fault, returns 1 when there is one.
# One grep reads every file; awk applies the tables.
check_tree() {
    local src=$1 units="" layers="" u l
    for u in "${!layer_of[@]}"; do units+="$u=${layer_of[$u]};"; done
    for l in "${!allowed[@]}"; do layers+="$l=${allowed[$l]};"; done
    (cd "$src" && find . -type f \( -name '*.h' -o -name '*.cpp' \) | sed 's|^\./||' | sort |
        xargs -r grep -HE "^[[:space:]]*#[[:space:]]*include|$os_tests" /dev/null) |
    awk -v units="$units" -v layers="$layers" -v os_headers="$os_headers" -v os_tests="$os_tests" '
        function layer_for(path,   stem, best, u) {
            stem = path; sub(/\.[^.\/]*$/, "", stem)
            best = ""
            for (u in unit)
                if ((stem == u || index(stem, u "/") == 1) && length(u) > length(best)) best = u
            return best == "" ? "" : unit[best]
        }
        BEGIN {
            n = split(units, a, ";")
            for (i = 1; i <= n; i++) if (a[i] != "") { split(a[i], kv, "="); unit[kv[1]] = kv[2] }
            n = split(layers, a, ";")
            for (i = 1; i <= n; i++) if (a[i] != "") { split(a[i], kv, "="); ok[kv[1]] = " " kv[2] " " }
            faults = 0
        }
        {
            file = $0; sub(/:.*/, "", file)
            line = substr($0, length(file) + 2)
            if (file == "/dev/null") next
            from = layer_for(file)
            if (from == "") {
                if (!(file in seen)) print file ": not in any layer"
                seen[file] = 1; faults = 1; next
            }
            inside_platform = index(file, "platform/") == 1
            if (line ~ /^[[:space:]]*#[[:space:]]*include[[:space:]]*"/) {
                inc = line; sub(/^[^"]*"/, "", inc); sub(/".*/, "", inc)
                to = layer_for(inc)
                if (to == "") { print file ": includes \"" inc "\", which is in no layer"; faults = 1 }
                else if (index(ok[from], " " to " ") == 0) {
                    print file " (" from ") includes \"" inc "\" (" to "): not a layer below"; faults = 1
                }
            } else if (!inside_platform && line ~ ("^[[:space:]]*#[[:space:]]*include[[:space:]]*" os_headers)) {
                print file ": includes an operating-system header outside platform/: " line; faults = 1
            }
            if (!inside_platform && line ~ os_tests) {
                print file ": tests the operating system outside platform/: " line; faults = 1
            }
        }
        END { exit faults }'
}

self_test() {
    local src=$1 tmp ok=0 case_file case_line
    tmp=$(mktemp -d) || return 1
    trap 'rm -rf "$tmp"' RETURN
    # Each case: a file that must not carry the line, and the line.
    local cases=(
        'common/text.cpp|#include "platform/platform.h"'
        'protocol/transport.cpp|#include "agent/agent.h"'
        'protocol/frame.cpp|#include "backup/job.h"'
        'report/report.cpp|#include "backup/walk.h"'
        'report/mail.cpp|#include "agent/ipc.h"'
        'tools/server/server.cpp|#include "backup/walk.h"'
        'tools/server/server.cpp|#include "backup/fci/fci.h"'
        'tools/server/server.cpp|#include "report/report.h"'
        'tools/ctl/main.cpp|#include "tools/server/store.h"'
        'agent/agent.cpp|#include "platform/server.h"'
        'keys/crypt_file.cpp|#include "protocol/codes.h"'
        'backup/schedule/schedule.cpp|#include "report/report.h"'
        'platform/posix/fs.cpp|#include "runtime/log.h"'
        'platform/posix/fs.cpp|#include "platform/win32/handle.h"'
        'backup/folder_scan.cpp|#include <unistd.h>'
        'runtime/log.cpp|#include <windows.h>'
        'protocol/session.cpp|#ifdef _WIN32'
        'backup/walk.cpp|#if defined(__linux__)'
    )
    for c in "${cases[@]}"; do
        case_file=${c%%|*}; case_line=${c#*|}
        rm -rf "$tmp/src"; cp -r "$src" "$tmp/src"
        if [[ ! -f $tmp/src/$case_file ]]; then
            echo "self-test: $case_file is missing"; ok=1; continue
        fi
        printf '%s\n' "$case_line" >> "$tmp/src/$case_file"
        if check_tree "$tmp/src" > /dev/null; then
            echo "self-test: '$case_line' in $case_file was not caught"; ok=1
        fi
    done
    return $ok
}

src="$here/../../src"
self=0
for arg in "$@"; do
    case $arg in
        --self-test) self=1 ;;
        *) src=$arg ;;
    esac
done
src=$(cd "$src" && pwd)

status=0
check_tree "$src" || status=1
if ((self)); then self_test "$src" || status=1; fi
if ((status == 0)); then echo "layering: every include points down"; fi
exit $status
