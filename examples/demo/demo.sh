#!/usr/bin/env bash
# The suite's main job on one machine, with nothing to configure. A buy-side firm (BUYSIDE) runs
# the initiator gateway gateconnect; its broker (SELLSIDE) runs the acceptor gateway gatelisten;
# the two log on to each other over 127.0.0.1. Orders from a script go through scriptfeed into
# the initiator, over FIX to the acceptor, to a small application (orderfill) that fills them,
# and the ExecutionReports come back the same way to qdrain on the initiator's side.
#
# Usage: demo.sh [bin-folder]     (default: build/bin beside this repository's sources)
# Environment: DEMO_DIR (working folder, default: <bin-folder>/../demo, wiped at the start),
#              DEMO_ORDERS (order script, default: orders.txt beside this file),
#              DEMO_FIX (FIX.4.2, the default, or FIXT.1.1: both sites speak FIX 5.0 SP2 over
#              FIXT.1.1 on the standard session rules, each message checked against the FIXT.1.1
#              and FIX 5.0 SP2 dictionaries).
#
# Everything it creates is private: a site table and four queues under fresh numeric keys, one
# working folder per firm. Every process it starts is stopped by its pid and every IPC object is
# removed by its key when it ends, also on Ctrl-C.
set -u

here=$(cd "$(dirname "$0")" && pwd)
examples=$(cd "$here/.." && pwd)
bin=$(cd "${1:-$here/../../build/bin}" 2>/dev/null && pwd) || {
    echo "demo: no program folder ${1:-build/bin}; run 'make demo' first" >&2
    exit 1
}
work=${DEMO_DIR:-$(dirname "$bin")/demo}
orders=${DEMO_ORDERS:-$here/orders.txt}
version=${DEMO_FIX:-FIX.4.2}
if [ "$version" != FIX.4.2 ] && [ "$version" != FIXT.1.1 ]; then
    echo "demo: DEMO_FIX must be FIX.4.2 or FIXT.1.1, not '$version'" >&2
    exit 1
fi

for program in tablemake queuemake siteload gatelisten gateconnect scriptfeed qdrain orderfill \
    sitecounters; do
    if [ ! -x "$bin/$program" ]; then
        echo "demo: $bin/$program is missing; run 'make demo' to build it" >&2
        exit 1
    fi
done

pids=()
names=()
tables=()
queues=()

say() { printf '\n== %s\n' "$*"; }
show() { # show LABEL FILE: the file's lines under the program's name, SOH shown as '|'
    [ -s "$2" ] && sed -e '/^$/d' -e 's/<SOH>/|/g' -e "s/^/    [$1] /" "$2"
    return 0
}
wire() { # wire LOG: a message log, one message per line, SOH shown as '|'
    tr '\001' '|' <"$1" | sed 's/^/    /'
}
started() { # started NAME PID
    pids+=("$2")
    names+=("$1")
    echo "    started $1 (pid $2)"
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    say "Stopping every process the demo started and removing its table and queues"
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[$i]}" 2>/dev/null && echo "    stopped ${names[$i]} (pid ${pids[$i]})"
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 1 30); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for key in "${queues[@]}"; do
        ipcrm -Q "$key" 2>/dev/null && echo "    removed queue $key"
    done
    for key in "${tables[@]}"; do
        ipcrm -M "$key" 2>/dev/null && echo "    removed site table $key"
        ipcrm -S "$key" 2>/dev/null  # the table's site locks, made by the gateways
    done
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A key is free when no shared-memory segment or queue uses it (ipcs shows keys in hex).
key_free() {
    local hex
    hex=$(printf '0x%08x' "$1")
    ! ipcs -m -q 2>/dev/null | grep -qi "^$hex "
}

# Waits until FILE contains TEXT (at least COUNT times), for at most SECONDS, while PID lives.
wait_for() { # wait_for FILE TEXT COUNT SECONDS PID
    local tries=$(($4 * 10))
    while ((tries-- > 0)); do
        [ "$(grep -o -F -- "$2" "$1" 2>/dev/null | wc -l)" -ge "$3" ] && return 0
        if [ -n "$5" ] && ! kill -0 "$5" 2>/dev/null; then return 1; fi
        sleep 0.1
    done
    return 1
}

say "Preparing a private site table and four private queues"
base=0
for _ in $(seq 1 50); do
    # Between the keys of short digit names (below 2^30) and those of names starting with a
    # letter (0x41000000 and up), so no other program's usual names can meet these.
    candidate=$((1074000000 + (RANDOM * 32768 + RANDOM) % 16000000))
    free=1
    for k in 0 1 2 3 4; do key_free $((candidate + k)) || free=0; done
    if [ "$free" = 1 ]; then
        base=$candidate
        break
    fi
done
if [ "$base" = 0 ]; then
    echo "demo: found no free IPC keys" >&2
    exit 1
fi
table=$base
initiator_out=$((base + 1)) # gateconnect -> qdrain: executions for BUYSIDE's application
initiator_in=$((base + 2))  # scriptfeed -> gateconnect: BUYSIDE's orders
acceptor_out=$((base + 3))  # gatelisten -> orderfill: orders for SELLSIDE's application
acceptor_in=$((base + 4))   # orderfill -> gatelisten: SELLSIDE's executions

tables+=("$table")
"$bin/tablemake" "$table" | sed '/^$/d; s/^/    [tablemake] /'
for q in "$initiator_out" "$initiator_in" "$acceptor_out" "$acceptor_in"; do
    queues+=("$q")
    "$bin/queuemake" "$q" 2>&1 | sed '/^$/d; s/^/    [queuemake] /'
done
echo "    site table $table; initiator queues in $initiator_in / out $initiator_out;" \
    "acceptor queues in $acceptor_in / out $acceptor_out"

say "Loading the site list $examples/sites.txt into the table (one cell per site)"
"$bin/siteload" "$table" "$examples/sites.txt" | sed 's/^/    [siteload] /'

say "Two working folders, one per firm, each with its site configuration (cfg/) and logs (logs/)"
rm -rf "$work"
mkdir -p "$work/acceptor/logs" "$work/initiator/logs"
cp -R "$examples/acceptor/cfg" "$work/acceptor/"
cp -R "$examples/initiator/cfg" "$work/initiator/"
if [ "$version" = FIXT.1.1 ]; then
    # The example sites moved to FIXT.1.1: the header's BeginString, the Logon's
    # DefaultApplVerID (1137=9, FIX 5.0 SP2), and the line naming the dictionaries.
    for cfg in "$work/acceptor/cfg/BUYSIDE.fix" "$work/initiator/cfg/SELLSIDE.fix"; do
        sed -i -e 's/^~ {8=FIX\.4\.2,/~ {8=FIXT.1.1,/' -e 's/^A {\(.*\)}$/A {\1,1137=9}/' "$cfg"
        echo "@ {rules=standard dictionary=FIXT11.xml appdictionary=FIX50SP2.xml applver=9}" >>"$cfg"
    done
fi
echo "    $work/initiator: BUYSIDE's gateconnect, configured for its broker SELLSIDE"
echo "    $work/acceptor:  SELLSIDE's gatelisten, configured for its client BUYSIDE"
echo "    both sites speak $version$([ "$version" = FIXT.1.1 ] && echo ' (FIX 5.0 SP2)')"

say "SELLSIDE's application: orderfill fills every order the acceptor delivers"
"$bin/orderfill" "$table" "$acceptor_out" "$acceptor_in" >"$work/orderfill.out" 2>&1 &
started orderfill $!

say "SELLSIDE's acceptor gateway: gatelisten on 127.0.0.1"
port=0
for _ in $(seq 1 10); do
    candidate=$((20000 + RANDOM % 20000))
    (cd "$work/acceptor" && FIXHOME="$work/acceptor" exec "$bin/gatelisten" "$table" \
        -p "$candidate" -i "$acceptor_in" -o "$acceptor_out") >"$work/gatelisten.out" 2>&1 &
    pid=$!
    if wait_for "$work/gatelisten.out" "Socket service [$candidate]" 1 5 "$pid"; then
        started gatelisten "$pid"
        port=$candidate
        break
    fi
    wait "$pid" 2>/dev/null # the port was taken: try another one
done
if [ "$port" = 0 ]; then
    show gatelisten "$work/gatelisten.out"
    echo "demo: gatelisten could not listen on any port tried" >&2
    exit 1
fi
show gatelisten "$work/gatelisten.out"

say "BUYSIDE's initiator gateway: gateconnect logs on to SELLSIDE at 127.0.0.1:$port"
(cd "$work/initiator" && FIXHOME="$work/initiator" exec "$bin/gateconnect" "$table" SELLSIDE \
    127.0.0.1 "$port" -i "$initiator_in" -o "$initiator_out") >"$work/gateconnect.out" 2>&1 &
started gateconnect $!
connect_pid=$!
if ! wait_for "$work/gateconnect.out" "<-LOGON>" 1 15 "$connect_pid"; then
    show gateconnect "$work/gateconnect.out"
    echo "demo: the initiator did not log on" >&2
    exit 1
fi
show gateconnect "$work/gateconnect.out"

say "BUYSIDE's application side: qdrain prints every execution the initiator delivers"
"$bin/qdrain" "$table" "$initiator_out" >"$work/qdrain.out" 2>&1 &
started qdrain $!
drain_pid=$!

count=$(grep -c -v -e '^\*' -e '^[[:space:]]*$' "$orders")
say "scriptfeed puts $count orders from $orders on the initiator's input queue"
"$bin/scriptfeed" "$table" "$initiator_in" SELLSIDE "$orders" | sed '/^$/d; s/^/    [scriptfeed] /'

say "Waiting for the $count executions to come back"
if ! wait_for "$work/qdrain.out" "35=8<SOH>" "$count" 20 "$drain_pid"; then
    echo "demo: only $(grep -c '35=8<SOH>' "$work/qdrain.out") of $count executions arrived" >&2
    show orderfill "$work/orderfill.out"
    show qdrain "$work/qdrain.out"
    exit 1
fi

say "What orderfill saw at SELLSIDE: each order as gatelisten delivered it, and its fill (SOH shown as |)"
show orderfill "$work/orderfill.out"

say "What qdrain received at BUYSIDE: each ExecutionReport as gateconnect delivered it"
show qdrain "$work/qdrain.out"

initiator_log() { ls -1 "$work"/initiator/logs/SELLSIDE."$1".* 2>/dev/null | head -1; }
say "On the wire, as BUYSIDE's gateconnect logged it: sent to SELLSIDE"
wire "$(initiator_log out)"
say "On the wire, as BUYSIDE's gateconnect logged it: received from SELLSIDE"
wire "$(initiator_log in)"

say "The site table's counters (In: from the counterparty, Out: to it; pend/proc: queued/handled)"
"$bin/sitecounters" "$table" BUYSIDE SELLSIDE | sed 's/^/    /'

say "Where the message logs are (one FIX message per line, exactly as on the wire)"
ls -1 "$work"/initiator/logs/* "$work"/acceptor/logs/* | sed 's/^/    /'
echo "    Each program's console output: $work/<program>.out"
exit 0
