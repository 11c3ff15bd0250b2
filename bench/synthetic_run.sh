# Sourced by the benchmarks that run zorv_mpi on zorv_gen's synthetic files.
# Checks that zorv_mpi is built (ZORV_MPI, default build/mpi/zorv_mpi) and
# that the files are in work/ (or $ZORV_WORK; ./scripts/run_example.sh makes
# them), makes a temporary run folder (removed on exit) holding sessions 1
# and 2 and the example kernel, and enters it. Sets top, exe, work and dir.
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exe="${ZORV_MPI:-$top/build/mpi/zorv_mpi}"
work="${ZORV_WORK:-$top/work}"
[ -x "$exe" ] || { echo "build first: ./scripts/build.sh"; exit 1; }
[ -f "$work/synth-1.zvx" ] && [ -f "$work/synth-1.sgl" ] || { echo "run ./scripts/run_example.sh first"; exit 1; }

dir=$(mktemp -d /tmp/zorv_bench_XXXXXX)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
ln -s "$work/synth-1.zvx" synth.1
ln -s "$work/synth-1.sgl" synth.2
cp "$top/examples/win.txt" .
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_mpi_yield_when_idle=${OMPI_MCA_mpi_yield_when_idle:-1}
