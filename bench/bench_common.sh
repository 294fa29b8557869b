# Shared by the whole-scan benchmarks (sourced, not run): the Release tree, the cached images and
# the timing helpers. The caller sets REL, DATA and the build targets it needs in TARGETS.

cmake -S . -B "$REL" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPW_BUILD_GUI=OFF -DPW_BUILD_TESTS=OFF \
  >/dev/null
cmake --build "$REL" -j2 --target parcelwright-cli make_bench_image "${TARGETS[@]}" >/dev/null
CLI=$REL/parcelwright-cli
mkdir -p "$DATA"

image() { # NAME MIB KIND
  local path=$DATA/$1-$2MiB.img
  if [ ! -f "$path" ]; then
    "$REL/bench/make_bench_image" "$path.part" "$2" "$3" >&2
    mv "$path.part" "$path"
  fi
  echo "$path"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

timed() { # wall, user and system seconds of one command, its output discarded
  local TIMEFORMAT='%3R %3U %3S'
  { time "$@" >/dev/null 2>&1; } 2>&1
}
