#!/usr/bin/env bash
# The README's "stations over SSH" recipe, run as written against two real
# SSH stations on this machine:
#   - each station is an sshd of its own on 127.0.0.1 (its own port, host
#     key, configuration and account tarnstationN, key-only login), with
#     tarnload installed from the .deb into the station's own prefix;
#   - each station runs its own tarnsim devices as its account, on local
#     ptys reached through stable names (as /dev/serial/by-id names are),
#     and station1 one more behind its own ser2net, flashed as rfc2217://;
#   - one device reports a device error (a planted failure); once the run
#     is over it is restarted healthy, and the same command line with
#     --resume-failed must run that row, and only that row, again.
# Then: the job log names both stations, every firmware file reached its
# station and was removed again, every received image equals its file, and
# every job's report came home (--return) as one line valid against the
# package's schema, naming its job's file (SHA-256) and its exit value.
#
#   sudo bash tests/system/flash_stations.sh [--joblog FILE] [--small] [--deb FILE]
#
# --small: two devices a station (CI). --joblog FILE: keep the job log, and
# the fleet's reports beside it (FILE with .reports.jsonl for its
# extension). --deb: the package to install
# (default dist/tarnload_*_amd64.deb, made by scripts/package.sh when
# absent). Runs as root: it creates the two accounts and removes them, with
# everything else it started, whatever way it ends. Exit status 0 only
# when every check holds.
set -euo pipefail
caller_dir=$PWD
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/flash_lib.sh
source scripts/flash_lib.sh

joblog=""
small=0
deb=""
size=8000
while [ $# -gt 0 ]; do
    case "$1" in
    --joblog) joblog=$(cd "$caller_dir" && realpath -m "$2"); shift 2 ;;
    --small) small=1; shift ;;
    --deb) deb=$(cd "$caller_dir" && realpath "$2"); shift 2 ;;
    *) echo "usage: $0 [--joblog FILE] [--small] [--deb FILE]" >&2; exit 2 ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "flash_stations: run as root: the stations are accounts of their own" >&2
    exit 1
fi
stations=(tarnstation1 tarnstation2)
for account in "${stations[@]}"; do
    if getent passwd "$account" >/dev/null; then
        echo "flash_stations: account $account exists already; it is not this run's to use" >&2
        exit 1
    fi
done

bash scripts/install_deps.sh --with-stations
if [ -z "$deb" ]; then
    deb=$(find dist -maxdepth 1 -name 'tarnload_*_amd64.deb' 2>/dev/null | sort | tail -n 1)
    if [ -z "$deb" ]; then
        bash scripts/package.sh
        deb=$(find dist -maxdepth 1 -name 'tarnload_*_amd64.deb' | sort | tail -n 1)
    fi
fi
deb=$(realpath "$deb")
echo "installing on each station: $deb ($(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version))"

work=$(mktemp -d /tmp/tarn_stations_XXXXXX)
# The stations' accounts must reach their own folders inside.
chmod 711 "$work"
pids=()     # sshd, ser2net and tarnsim, stopped in reverse order
made_privsep=0
accounts=() # created by this run
account_files=(passwd group shadow gshadow subuid subgid)
mkdir "$work/etc"
for f in "${account_files[@]}"; do
    if [ -e "/etc/$f-" ]; then cp -p "/etc/$f-" "$work/etc/$f-"; fi
done
cleanup() {
    local i pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    for account in "${accounts[@]}"; do
        # Whatever a session of the account may still run was started by
        # this run through that station.
        for pid in $(find /proc -maxdepth 1 -regex '/proc/[0-9]+' -user "$account" -printf '%f ' 2>/dev/null); do
            kill "$pid" 2>/dev/null || true
        done
        userdel -r "$account" 2>/dev/null || userdel -r -f "$account" 2>/dev/null || true
    done
    # useradd and userdel leave their own backups of the account files,
    # which would still name the stations: they go back as they were.
    for f in "${account_files[@]}"; do
        if [ -e "$work/etc/$f-" ]; then
            cp -p "$work/etc/$f-" "/etc/$f-"
        elif [ "${#accounts[@]}" -gt 0 ]; then
            rm -f "/etc/$f-"
        fi
    done
    if [ "$made_privsep" -eq 1 ]; then
        rmdir /run/sshd 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "flash_stations: $*" >&2
    exit 1
}

wait_listening() { # PORT WHAT LOG
    for _ in $(seq 100); do
        listening "$1" && return 0
        sleep 0.05
    done
    cat "$3" >&2 || true
    fail "$2 did not come up on 127.0.0.1:$1"
}

# Runs a command as station $1's account, in the background; its pid is
# the command's own (setpriv replaces itself), so it is stopped by pid.
as_station() {
    local n=$1
    shift
    setpriv --reuid "tarnstation$n" --regid "tarnstation$n" --init-groups \
        env -i HOME="$work/station$n/home" PATH="$work/station$n/prefix/usr/bin:/usr/bin:/bin" \
        "$@" &
    pids+=($!)
}

# The operator: one key for both stations, a known-hosts file and an SSH
# configuration of its own (ssh -F), so that nothing of the machine's own is
# read or changed.
operator=$work/operator
mkdir -p "$operator"
ssh-keygen -q -t ed25519 -N '' -C operator -f "$operator/id_ed25519"
ssh_config=$operator/ssh_config
: >"$ssh_config"
: >"$operator/known_hosts"
if [ ! -d /run/sshd ]; then
    mkdir -m 755 /run/sshd
    made_privsep=1
fi

empty_skel=$work/skel
mkdir "$empty_skel"
for n in 1 2; do
    dir=$work/station$n
    mkdir -p "$dir"
    chmod 755 "$dir"
    useradd --home-dir "$dir/home" --create-home --skel "$empty_skel" --user-group \
        --shell /bin/bash --password '*' "tarnstation$n"
    accounts+=("tarnstation$n")
    # tarnload installed from the package, into this station's own prefix.
    dpkg-deb -x "$deb" "$dir/prefix"
    [ -x "$dir/prefix/usr/bin/tarnload" ] || fail "the package has no usr/bin/tarnload"
    install -d -o "tarnstation$n" -g "tarnstation$n" "$dir/dev" "$dir/devices"
    ssh-keygen -q -t ed25519 -N '' -C "station$n" -f "$dir/host_key"
    install -m 644 "$operator/id_ed25519.pub" "$dir/authorized_keys"
    port=$(free_ports)
    # StrictModes would refuse the authorized keys under /tmp, which anyone
    # may write; the file and its folder are root's, writable by root only.
    # --jobs 0 logs in for every job at once: more than sshd's 10 unfinished
    # logins by default.
    cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $dir/host_key
PidFile none
AllowUsers tarnstation$n
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PermitRootLogin no
AllowTcpForwarding no
X11Forwarding no
PrintMotd no
PrintLastLog no
MaxStartups 50:30:100
LogLevel ERROR
SetEnv PATH=$dir/prefix/usr/bin:/usr/bin:/bin
EOF
    /usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.log" &
    pids+=($!)
    wait_listening "$port" "sshd of station$n" "$dir/sshd.log"
    cat >>"$ssh_config" <<EOF
Host station$n
    HostName 127.0.0.1
    Port $port
    User tarnstation$n
    HostKeyAlias station$n
EOF
    echo "station$n $(cat "$dir/host_key.pub")" >>"$operator/known_hosts"
done
cat >>"$ssh_config" <<EOF
Host *
    IdentityFile $operator/id_ed25519
    IdentitiesOnly yes
    UserKnownHostsFile $operator/known_hosts
    GlobalKnownHostsFile /dev/null
    StrictHostKeyChecking yes
    BatchMode yes
    LogLevel ERROR
EOF
export PARALLEL_SSH="ssh -F $ssh_config"
for n in 1 2; do
    got=$($PARALLEL_SSH "station$n" 'echo "$(id -un) $(command -v tarnload)"') ||
        fail "cannot log in to station$n"
    echo "station$n: logged in as $got"
done

# The devices: index -> station, port name (as the job gives it), file.
dev_station=()
dev_port=()
dev_file=()
dev_desc=()
dev_pid=()
planted=-1
add_device() { # STATION PORT
    local i=${#dev_station[@]}
    dev_station+=("$1")
    dev_port+=("$2")
    dev_file+=("fw$((i + 1)).dfu")
    dev_desc+=("station$1 device $((i + 1)) firmware")
}

# Starts device $1 as its station's account, with extra tarnsim options,
# and points its stable name at the pty it reports.
start_device() {
    local i=$1
    shift
    local n=${dev_station[i]} out
    out=$work/station$n/devices/sim-$i.out
    rm -f "$out"
    as_station "$n" tarnsim --paced --busy-answers 0 \
        --image-out "$work/station$n/devices/received-$i.bin" "$@" \
        >"$out" 2>>"$work/station$n/devices/sim-$i.log"
    dev_pid[i]=$!
    for _ in $(seq 100); do
        pty=$(head -n 1 "$out" 2>/dev/null || true)
        if [ -n "$pty" ]; then
            if [ "${dev_port[i]}" != "${dev_port[i]#rfc2217://}" ]; then
                return 0
            fi
            ln -sfn "$pty" "${dev_port[i]}"
            return 0
        fi
        sleep 0.05
    done
    fail "device $((i + 1)) did not report its terminal"
}

per_station=$((small ? 2 : 3))
for n in 1 2; do
    locals=$((per_station - (n == 1 ? 1 : 0)))
    for ((k = 0; k < locals; k++)); do
        add_device "$n" "$work/station$n/dev/ttyUSB$k"
    done
done
# The planted failure: station2's last device, a device error at block 2.
planted=$((${#dev_station[@]} - 1))
ser2net_port=$(free_ports)
add_device 1 "rfc2217://127.0.0.1:$ser2net_port"

for ((i = 0; i < ${#dev_station[@]}; i++)); do
    "$work/station1/prefix/usr/bin/tarnsim" make-dfu --out "$operator/${dev_file[i]}" \
        --size $((size + 100 * i)) --seed $((i + 1)) --desc "${dev_desc[i]}" >/dev/null
    if [ "$i" -eq "$planted" ]; then
        start_device "$i" --error-at-block 2
    else
        start_device "$i"
    fi
done
rfc_pty=$pty
cat >"$work/station1/ser2net.yaml" <<EOF
%YAML 1.1
---
connection: &rfc2217
    accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,$ser2net_port
    connector: serialdev,$rfc_pty,115200e81,local
    options:
      chardelay: false
EOF
as_station 1 "$(command -v ser2net)" -n -u -c "$work/station1/ser2net.yaml" -P "$work/station1/devices/ser2net.pid" \
    >"$work/station1/devices/ser2net.log" 2>&1
wait_listening "$ser2net_port" "ser2net of station1" "$work/station1/devices/ser2net.log"

for n in 1 2; do
    [ -z "$(ls -A "$work/station$n/home")" ] || fail "station$n's home is not empty before the run"
done

args=()
files=()
for ((i = 0; i < ${#dev_station[@]}; i++)); do
    args+=("${dev_port[i]}@station${dev_station[i]}")
    files+=("${dev_file[i]}")
done
log=$operator/flash.log
# The README's command line, as written; $1 adds an option in front. Each
# job's report comes home as report-<job>.jsonl and joins the fleet's file.
flash() {
    (cd "$operator" && parallel --will-cite "$@" --hostgroups -S station1,station2 --jobs 0 --tag \
        --joblog flash.log --env TARNLOAD_TRACE --transferfile {2} --return report-{#}.jsonl \
        --cleanup TARNLOAD_REPORT=report-{#}.jsonl tarnload {1} {2} \
        ::: "${args[@]}" :::+ "${files[@]}")
}
echo "\$ parallel --hostgroups -S station1,station2 --jobs 0 --tag --joblog flash.log \\"
echo "    --env TARNLOAD_TRACE --transferfile {2} --return report-{#}.jsonl --cleanup \\"
echo "    TARNLOAD_REPORT=report-{#}.jsonl tarnload {1} {2} \\"
echo "    ::: ${args[*]} \\"
echo "    :::+ ${files[*]}"
schema=$work/station1/prefix/usr/share/tarnload/report.schema.json
[ -f "$schema" ] || fail "the package has no usr/share/tarnload/report.schema.json"
status=0
flash >"$operator/output.txt" 2>&1 || status=$?
cat "$operator/output.txt"
echo "--- job log (parallel exited with $status) ---"
cat "$log"

problems=()
check() { # MESSAGE COMMAND...: the command decides
    local what=$1
    shift
    if "$@"; then
        echo "ok:   $what"
    else
        problems+=("$what")
        echo "FAIL: $what"
    fi
}
# The job log's last row for a port; parallel quotes a name with a colon.
row_of() { # PORT
    awk -F'\t' -v cmd="tarnload $1 " 'NR > 1 { c = $9; gsub("\047", "", c); sub("^TARNLOAD_REPORT=[^ ]* ", "", c) }
        NR > 1 && index(c " ", cmd) == 1' "$log" | tail -n 1
}
# Whether a job log row ran on STATION with exit value EXITVAL (and, given, job SEQ).
row_is() { # ROW STATION EXITVAL [SEQ]
    [ -n "$1" ] && [ "$(cut -f2 <<<"$1")" = "$2" ] && [ "$(cut -f7 <<<"$1")" = "$3" ] &&
        { [ -z "${4:-}" ] || [ "$(cut -f1 <<<"$1")" = "$4" ]; }
}

# Each job of the last run brought its report home: exactly one line, valid
# against the package's schema, with its job's file and exit value. The
# reports then join the fleet's file.
reports_home() { # SEQ...
    local seq row file
    for seq in "$@"; do
        row=$(awk -F'\t' -v seq="$seq" '$1 == seq' "$log" | tail -n 1)
        file=$(sed -E 's/.* ([^ ]+\.dfu)$/\1/' <<<"$(cut -f9 <<<"$row")")
        check "job $seq's report came home, valid, naming $file and exit value $(cut -f7 <<<"$row")" \
            python3 -c 'import hashlib, json, sys, jsonschema
report, schema, fw, exitval = sys.argv[1:]
lines = open(report).read().splitlines()
r = json.loads(lines[0])
jsonschema.validate(r, json.load(open(schema)))
want = "ok" if exitval == "0" else "failed"
sys.exit(len(lines) != 1 or r["file"]["sha256"] != hashlib.sha256(open(fw, "rb").read()).hexdigest()
         or r["result"] != want or r["exit_status"] != int(exitval))' \
            "$operator/report-$seq.jsonl" "$schema" "$operator/$file" "$(cut -f7 <<<"$row")"
        cat "$operator/report-$seq.jsonl" >>"$operator/fleet.jsonl" 2>/dev/null || true
        rm -f "$operator/report-$seq.jsonl"
    done
}

rows=$(($(wc -l <"$log") - 1))
hosts=$(awk -F'\t' 'NR > 1 {print $2}' "$log" | sort -u | tr '\n' ' ')
check "the job log's Host column names both stations ($hosts)" [ "$hosts" = "station1 station2 " ]
check "one row per device ($rows of ${#dev_station[@]})" [ "$rows" -eq "${#dev_station[@]}" ]
for ((i = 0; i < ${#dev_station[@]}; i++)); do
    want=0
    [ "$i" -ne "$planted" ] || want=1
    check "device $((i + 1)) ran on station${dev_station[i]} with exit value $want" \
        row_is "$(row_of "${dev_port[i]}")" "station${dev_station[i]}" "$want"
    # The station read the file it was sent: its description is in the
    # job's own tagged output.
    check "device $((i + 1)): station${dev_station[i]} had ${dev_file[i]} (--transferfile)" \
        grep -qF "${dev_port[i]} ${dev_file[i]}	DFU file: ${dev_desc[i]}" "$operator/output.txt"
done

reports_home $(seq 1 "${#dev_station[@]}")

# The planted device made healthy (the same stable name, a new pty), then
# the failed rows, and only they, run again from the job log.
kill "${dev_pid[planted]}" 2>/dev/null || true
wait "${dev_pid[planted]}" 2>/dev/null || true
for i in "${!pids[@]}"; do
    [ "${pids[i]}" = "${dev_pid[planted]}" ] && unset "pids[i]"
done
pids=("${pids[@]}")
start_device "$planted"
# --retry-failed takes the command from the job log alone, where the port
# has lost its @station: the job could land on the wrong station, without
# its file. The same command line with --resume-failed keeps both.
retry_status=0
flash --resume-failed >"$operator/retry.txt" 2>&1 || retry_status=$?
echo "--- retry (parallel exited with $retry_status) ---"
cat "$operator/retry.txt"
echo "--- job log after the retry ---"
cat "$log"
new_rows=$(($(wc -l <"$log") - 1 - rows))
check "--resume-failed ran one row again ($new_rows)" [ "$new_rows" -eq 1 ]
check "that row is the failed job $((planted + 1)), again on station2, and it succeeded" \
    row_is "$(tail -n 1 "$log")" station2 0 $((planted + 1))
reports_home $((planted + 1))
echo "--- the fleet's reports, one row a run ---"
cat "$operator/fleet.jsonl"
# The README's per-device table.
! command -v jq >/dev/null || jq -rs 'group_by([.host, .port]) | map(max_by(.started))[]
    | [.host, .port, (.device | if . then .vid+":"+.pid else "-" end),
       .file.sha256[0:12], .result, (.stage // "-"), .started] | @tsv' "$operator/fleet.jsonl"
for n in 1 2; do
    check "station$n's home holds no firmware file and no report afterwards (--cleanup)" \
        [ -z "$(find "$work/station$n/home" -name '*.dfu' -o -name 'report-*.jsonl')" ]
done

# tarnsim writes the image it received when it is stopped.
for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
done
pids=()
for ((i = 0; i < ${#dev_station[@]}; i++)); do
    check "device $((i + 1)) (${dev_port[i]}) received exactly ${dev_file[i]}'s image" \
        same_image "$operator/${dev_file[i]}" \
        "$work/station${dev_station[i]}/devices/received-$i.bin"
done
if [ -n "$joblog" ]; then
    cp "$log" "$joblog"
    cp "$operator/fleet.jsonl" "${joblog%.*}.reports.jsonl"
fi
if [ "${#problems[@]}" -ne 0 ]; then
    echo "FAILED: ${#problems[@]} checks"
    exit 1
fi
echo "VERIFIED: ${#dev_station[@]} devices on two SSH stations, the planted failure retried alone"
