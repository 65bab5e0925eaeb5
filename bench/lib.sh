# Shared by the benchmark scripts: sourced, not run.

# make_image DIR SECTORS: DIR/image.bin of random bytes (noise is as far from
# silence as audio gets) and DIR/image.cue with 10 audio tracks of equal length.
make_image() {
    local dir=$1 sectors=$2
    echo "Generating an image of $sectors sectors in $dir ..."
    head -c $((sectors * 2352)) /dev/urandom > "$dir/image.bin"
    {
        echo 'FILE "image.bin" BINARY'
        local per=$((sectors / 10)) t start
        for t in $(seq 1 10); do
            start=$(((t - 1) * per))
            printf '  TRACK %02d AUDIO\n    INDEX 01 %02d:%02d:%02d\n' "$t" \
                $((start / 4500)) $((start / 75 % 60)) $((start % 75))
        done
    } > "$dir/image.cue"
    sync
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

# time_command NAME COMMAND...: runs COMMAND $runs times into a fresh
# $work/out and prints the median seconds. A script that defines
# check_run NAME has it called after each run to check what was written.
time_command() {
    local name=$1
    shift
    local times=() _
    for _ in $(seq 1 "$runs"); do
        rm -rf "$work/out" && mkdir -p "$work/out"
        sync
        local t0 t1
        t0=$(now)
        "$@" >/dev/null 2>"$work/err" || { echo "$name failed:" >&2; cat "$work/err" >&2; exit 1; }
        t1=$(now)
        if declare -F check_run >/dev/null; then
            check_run "$name"
        fi
        times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')")
    done
    printf '%s\n' "${times[@]}" | median
}

# start_answer_server: a python3 http.server on a free port of 127.0.0.1
# serving $work/db, as AccurateRip and CTDB; sets urls=(...) with both
# options. stop_answer_server_and_clean ends it and removes $work.
server_pid=
start_answer_server() {
    mkdir -p "$work/db"
    local port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/db" >/dev/null 2>&1 &
    server_pid=$!
    for _ in $(seq 1 50); do
        python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break
        sleep 0.1
    done
    urls=(--accuraterip-url "http://127.0.0.1:$port/accuraterip" --ctdb-url "http://127.0.0.1:$port")
}
stop_answer_server_and_clean() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}

# make_answers LOG: a dBAR file and a CTDB answer that confirm every track of
# the rip log LOG (confidence 5), where the server serves them. The server
# ignores the query, so lookup2.php answers every CTDB look-up.
make_answers() {
    rm -rf "$work/db/accuraterip" "$work/db/lookup2.php"
    python3 - "$1" "$work/db" <<'PY'
import os, re, struct, sys
log = open(sys.argv[1]).read()
arid = re.search(r'^AccurateRip ID: (\S+)$', log, re.M).group(1)
count, id1, id2, cddb = arid.split('-')
v2 = [int(x, 16) for x in re.findall(r'^  AccurateRip v2: (\w+)$', log, re.M)]
ctdb = re.findall(r'^  CTDB CRC: (\w+)$', log, re.M)
data = struct.pack('<BIII', int(count), int(id1, 16), int(id2, 16), int(cddb, 16))
for s in v2:
    data += struct.pack('<BII', 5, s, 0)
folder = os.path.join(sys.argv[2], 'accuraterip', id1[7], id1[6], id1[5])
os.makedirs(folder, exist_ok=True)
open(os.path.join(folder, 'dBAR-%s.bin' % arid), 'wb').write(data)
open(os.path.join(sys.argv[2], 'lookup2.php'), 'w').write(
    '<?xml version="1.0" encoding="UTF-8"?>\n<ctdb xmlns="http://db.cuetools.net/ns/mmd-1.0#">'
    '<entry confidence="5" crc32="00000000" id="1" trackcrcs="%s"/></ctdb>\n'
    % ' '.join(c.lower() for c in ctdb))
PY
}
