#!/usr/bin/env bash
# Measures what a SIGKILL in the middle of a run leaves behind. For each
# driver it prepares a database, starts a run, kills it at a random moment
# within the run's usual duration, then asks odbcheck about the file and starts
# the next run. It repeats until TRIALS kills (default 50) landed while the
# run was still going, and prints the counts.
#
#   scripts/kill-test.sh [TRIALS] [BUILD_DIR]      (BUILD_DIR defaults to build)
#
# The seed is fixed (KILL_TEST_SEED, default 1), so the moments repeat. With
# KILL_TEST_KEEP=DIR the files after kills whose next run failed are kept there.
set -euo pipefail
cd "$(dirname "$0")/.."

trials=${1:-50}
bin=$(cd "${2:-build}/bin" && pwd)
RANDOM=${KILL_TEST_SEED:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for program in showcase mapdrill odbcheck; do
  [ -x "$bin/$program" ] || { echo "no $bin/$program: build first" >&2; exit 2; }
done

# A small helper times a run or kills it in the middle: a shell's own sleep
# is too coarse for runs of a few milliseconds. A run counts from its first
# line of output (the drivers print it when they start on the database), so
# that no kill lands while the program is still being loaded.
#   killer -1 PROGRAM   runs it and prints the microseconds from its first
#                       output to its end
#   killer US PROGRAM   kills it US microseconds after its first output and
#                       prints "killed" when it was still running, "exited"
#                       when it had ended
cat >"$work/killer.cpp" <<'CPP'
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using clock_type = std::chrono::steady_clock;

// Reads what is there; false at the end of the output.
bool drain(int fd) {
  char buf[65536];
  return read(fd, buf, sizeof buf) > 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  long const delay_us = std::atol(argv[1]);
  int out[2];
  if (pipe(out) != 0) return 2;
  pid_t const pid = fork();
  if (pid == 0) {
    int const null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(null, 2);
    close(out[0]);
    close(out[1]);
    execv(argv[2], argv + 2);
    _exit(127);
  }
  close(out[1]);
  bool open = drain(out[0]);  // blocks until the first output
  auto const start = clock_type::now();
  if (delay_us >= 0) {
    auto const moment = start + std::chrono::microseconds(delay_us);
    while (open) {
      auto const left =
          std::chrono::duration_cast<std::chrono::milliseconds>(moment - clock_type::now());
      if (left.count() < 0) break;
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) > 0) open = drain(out[0]);
      if (clock_type::now() >= moment) break;
    }
    while (clock_type::now() < moment) {
    }
    kill(pid, SIGKILL);
  }
  while (open) open = drain(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (delay_us < 0) {
    auto const took = std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start);
    std::printf("%lld\n", static_cast<long long>(took.count()));
  } else {
    std::puts(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? "killed" : "exited");
  }
  return 0;
}
CPP
g++ -std=c++17 -O2 -o "$work/killer" "$work/killer.cpp"

# prepare DRIVER: a database ready for the run that will be killed: showcase
# after "-init" and two runs, mapdrill right after "-init" (its first run
# fills the map).
prepare() {
  rm -f "$work"/*.odb
  (cd "$work" && "$bin/$1" -init)
  if [ "$1" = showcase ]; then
    (cd "$work" && "$bin/showcase" >/dev/null && "$bin/showcase" >/dev/null)
  fi
}

# One run of DRIVER in the work folder; its exit status.
run() {
  local status=0
  (cd "$work" && "$bin/$1" </dev/null >"$work/out" 2>"$work/err") || status=$?
  return $status
}

database_of() { if [ "$1" = showcase ]; then echo test; else echo int; fi; }

# Whether the last run's output is complete: showcase ends with "done...",
# mapdrill counts 25000 pairs both ways.
complete() {
  if [ "$1" = showcase ]; then
    [ "$(tail -n 1 "$work/out")" = "done..." ]
  else
    [ "$(grep -c '^count == 25000$' "$work/out")" = 2 ]
  fi
}

sound() { (cd "$work" && "$bin/odbcheck" "$1" >/dev/null 2>&1); }

for driver in showcase mapdrill; do
  db=$(database_of "$driver")
  # The longest of five undisturbed runs: kills that come after the end are
  # simply tried again.
  duration_us=0
  for _ in 1 2 3 4 5; do
    prepare "$driver"
    took=$(cd "$work" && ./killer -1 "$bin/$driver")
    if [ "$took" -gt "$duration_us" ]; then duration_us=$took; fi
  done

  hits=0 misses=0 passed=0 next_ok=0 next_complete=0 next_sound=0
  : >"$work/failures"
  while [ "$hits" -lt "$trials" ]; do
    prepare "$driver"
    delay_us=$(((RANDOM * 32768 + RANDOM) % (duration_us + 1)))
    if [ "$(cd "$work" && ./killer "$delay_us" "$bin/$driver")" != killed ]; then
      # The run ended before the kill: not a kill during a run.
      misses=$((misses + 1))
      if [ "$misses" -gt $((trials * 10)) ]; then
        echo "$driver: the runs end too soon to be hit" >&2
        exit 2
      fi
      continue
    fi
    hits=$((hits + 1))
    cp "$work/$db.odb" "$work/after-kill"
    if sound "$db"; then passed=$((passed + 1)); fi
    if run "$driver"; then
      next_ok=$((next_ok + 1))
      if complete "$driver"; then next_complete=$((next_complete + 1)); fi
    else
      head -n 1 "$work/err" >>"$work/failures"
      if [ -n "${KILL_TEST_KEEP:-}" ]; then
        mkdir -p "$KILL_TEST_KEEP"
        cp "$work/after-kill" "$KILL_TEST_KEEP/$driver-kill-$hits.odb"
      fi
    fi
    if sound "$db"; then next_sound=$((next_sound + 1)); fi
  done
  echo "$driver (a run takes up to $duration_us us): $hits kills during a run" \
    "($misses more came after it had ended)"
  echo "  file passed odbcheck after the kill:     $passed of $hits"
  echo "  the next run exited 0:                   $next_ok of $hits" \
    "(with complete output: $next_complete)"
  echo "  file passed odbcheck after the next run: $next_sound of $hits"
  if [ -s "$work/failures" ]; then
    echo "  the failed next runs said:"
    sort "$work/failures" | uniq -c | sed 's/^/  /'
  fi
done
