#!/usr/bin/env bash
# ifind --mpi end to end: outputs byte-identical to one local thread, a reading rank that
# stops or dies fails the scan, a rank that sees another tree is refused.
#   mpi_scan.sh CASE IFIND MPIRUN GENTREE SHIM   CASE: identical-N | partial | hostile | stopped | killed | other-tree
set -uo pipefail
case_=$1 ifind=$2 mpirun=$3 gentree=$4 shim=$5
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_rmaps_base_oversubscribe=1
tmp=$(mktemp -d /tmp/kzmpi.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
mpi() { local n=$1; shift; timeout 300 "$mpirun" --oversubscribe -n "$n" "$@"; }

# Each home is one scanner's state folder; job ids are fixed so outputs can be compared.
scan_local() { local home=$1; shift; mkdir -p -m 700 "$tmp/$home"; KZFIND_HOME=$tmp/$home "$ifind" --threads 1 --quiet "$@"; }
scan_mpi() { local n=$1 home=$2; shift 2; mkdir -p -m 700 "$tmp/$home"; KZFIND_HOME=$tmp/$home mpi "$n" "$ifind" --mpi --quiet "$@"; }

same_outputs() {
  local a=$tmp/$1/subclients b=$tmp/$2/subclients n=0
  for f in $(cd "$a" && find . -type f \( -name 'Collect*' -o -name split_config -o -name 'DirChange*' -o -path '*/scans/*' \)); do
    cmp "$a/$f" "$b/$f" || fail "$f differs between $1 and $2"
    n=$((n + 1))
  done
  [ "$n" -ge 4 ] || fail "only $n output files compared"
}

case $case_ in
identical-*)
  n=${case_#identical-}
  "$gentree" --files 3000 "$tmp/tree" >/dev/null || fail gentree
  mkfifo "$tmp/tree/fifo"; ln -s nowhere "$tmp/tree/dangling"; mkdir "$tmp/tree/empty" "$tmp/tree/new"$'\n'"line"
  # Both full scans start in a later second than anything in the tree, so both
  # incrementals compare with the same past.
  sleep 1.1
  scan_local L -j 11 "$tmp/tree" >/dev/null || fail "local full scan"
  scan_mpi "$n" M -j 11 "$tmp/tree" >/dev/null || fail "mpi full scan"
  same_outputs L M
  # An incremental: something changed, added and removed since.
  sleep 1
  echo more >> "$(find "$tmp/tree" -type f -name '*' | sort | sed -n 10p)"
  mkdir "$tmp/tree/empty/added" && echo x > "$tmp/tree/empty/added/file"
  rm -rf "$(find "$tmp/tree" -mindepth 1 -maxdepth 1 -type d | sort | head -1)"
  scan_local L --incremental -j 12 "$tmp/tree" >/dev/null || fail "local incremental"
  scan_mpi "$n" M --incremental -j 12 "$tmp/tree" >/dev/null || fail "mpi incremental"
  same_outputs L M
  ;;
partial)
  # Entries a reading rank cannot read reach rank 0 as data: the same failures file and
  # exit status 3 as a local scan. As an unprivileged user, for permissions to count.
  command -v setpriv >/dev/null || { echo "SKIP: no setpriv"; exit 0; }
  "$gentree" --files 500 "$tmp/tree" >/dev/null || fail gentree
  mkdir -p "$tmp/tree/closed/inside" "$tmp/tree/search-only/x"
  chmod 000 "$tmp/tree/closed"; chmod 311 "$tmp/tree/search-only"
  mkdir -m 700 "$tmp/L" "$tmp/M"; chown 65534:65534 "$tmp/L" "$tmp/M"; chmod 755 "$tmp"
  as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups env -u OMPI_ALLOW_RUN_AS_ROOT -u OMPI_ALLOW_RUN_AS_ROOT_CONFIRM HOME=/tmp "$@"; }
  as_nobody env KZFIND_HOME="$tmp/L" "$ifind" --threads 1 --quiet -j 51 "$tmp/tree" >/dev/null 2>&1
  [ $? -eq 3 ] || fail "the local scan was not partial"
  as_nobody env KZFIND_HOME="$tmp/M" timeout 300 "$mpirun" --oversubscribe -n 3 "$ifind" --mpi --quiet -j 51 "$tmp/tree" >/dev/null 2>&1
  [ $? -eq 3 ] || fail "the mpi scan was not partial"
  same_outputs L M
  cmp "$tmp/L/subclients/"*/failures.log "$tmp/M/subclients/"*/failures.log || fail "failures files differ"
  grep -q closed "$tmp/M/subclients/"*/failures.log || fail "the closed folder is not listed"
  ;;
hostile)
  "$gentree" --hostile "$tmp/tree" >/dev/null || fail gentree
  scan_local L -j 21 "$tmp/tree" >/dev/null || fail "local scan"
  scan_mpi 3 M -j 21 "$tmp/tree" >/dev/null || fail "mpi scan"
  same_outputs L M
  ;;
stopped | killed)
  # Slow reads (2 ms a call) keep the scan going long enough to stop a reader half-way.
  "$gentree" --files 3000 "$tmp/tree" >/dev/null || fail gentree
  mkdir -p -m 700 "$tmp/M"
  KZFIND_HOME=$tmp/M mpi 3 -x KZ_LATENCY_US=2000 -x LD_PRELOAD="$shim" "$ifind" --mpi --single-stats --mpi-timeout 3 \
    -j 31 --quiet "$tmp/tree" >"$tmp/out" 2>"$tmp/err" &
  job=$!
  reader=
  for _ in $(seq 300); do  # up to 30 s: mpirun starts slowly on a loaded machine
    sleep 0.1
    for p in $(pgrep -x ifind); do
      grep -qz '^OMPI_COMM_WORLD_RANK=2$' /proc/$p/environ 2>/dev/null && grep -qz "^KZFIND_HOME=$tmp/M$" /proc/$p/environ && reader=$p
    done
    [ -n "$reader" ] && break
  done
  [ -n "$reader" ] || fail "no reading rank found"
  sleep 1
  if [ "$case_" = stopped ]; then kill -STOP "$reader"; else kill -KILL "$reader"; fi
  wait $job; rc=$?
  [ "$case_" = stopped ] && kill -KILL "$reader" 2>/dev/null
  cat "$tmp/out" "$tmp/err" >&2
  [ $rc -ne 0 ] || fail "a scan that lost a reading rank exited 0"
  grep -q "succeeded" "$tmp/out" && fail "the scan says it succeeded"
  if [ "$case_" = stopped ]; then
    cat "$tmp/out" "$tmp/err" | grep -q "a reading rank failed: rank 2" || fail "no report of the stopped rank"
  fi
  # The lock went with the process: a rerun of the same paths runs and succeeds.
  scan_mpi 3 M -j 32 "$tmp/tree" >/dev/null || fail "the rerun failed"
  ;;
other-tree)
  # Rank 2 sees another folder at the same path, through a mount namespace of its own.
  mkdir -p "$tmp/tree/a" "$tmp/other/b"
  unshare -m true 2>/dev/null || { echo "SKIP: no mount namespaces here"; exit 0; }
  mkdir -p -m 700 "$tmp/M"
  KZFIND_HOME=$tmp/M timeout 120 "$mpirun" --oversubscribe -n 2 "$ifind" --mpi --quiet -j 41 "$tmp/tree" : \
    -n 1 unshare -m sh -c "mount --make-rprivate / && mount --bind '$tmp/other' '$tmp/tree' && exec '$ifind' --mpi --quiet -j 41 '$tmp/tree'" \
    >"$tmp/out" 2>"$tmp/err"
  rc=$?
  cat "$tmp/err" >&2
  [ $rc -ne 0 ] || fail "a rank seeing another tree was not refused"
  grep -q "rank 2 (on .*) sees a different tree at $tmp/tree" "$tmp/err" || fail "no clear refusal"
  [ ! -e "$tmp/M/jobs/41.jsonl" ] || fail "the refused scan started a job"
  ;;
*) fail "unknown case $case_" ;;
esac
echo "ok: $case_"
