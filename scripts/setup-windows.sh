#!/usr/bin/env bash
# Builds the third-party libraries of the Windows port as static MinGW-w64 libraries from Debian's
# own source packages, into build/win-deps/prefix (see cmake/mingw-w64.cmake). A library is built
# again only when its Debian version or its recipe here changes. With --check, a small program per
# library is built and run under wine.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# QOR_WIN_DEPS_DIR moves it all, e.g. out of a clone to be shared by others (then pass cmake
# -DQOR_WIN_DEPS=$QOR_WIN_DEPS_DIR/prefix).
deps=$(realpath -m "${QOR_WIN_DEPS_DIR:-$root/build/win-deps}")
prefix=$deps/prefix
toolchain=$root/cmake/mingw-w64.cmake
host=x86_64-w64-mingw32
jobs=$(nproc)

check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: setup-windows.sh [--check]" >&2; exit 2 ;;
esac

die() { echo "setup-windows: $*" >&2; exit 1; }
say() { echo "setup-windows: $*"; }

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi

# Runs apt-get as root with its output kept back unless it fails. Another install may hold the
# dpkg or list lock: wait for it rather than fail.
apt_root() {
  local log tries=0
  [[ -z "$sudo" ]] || command -v sudo >/dev/null || die "need root or sudo for apt-get $1"
  log=$(mktemp)
  until $sudo env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=1200 "$@" \
      >"$log" 2>&1; do
    if grep -qE 'Could not get lock|Unable to acquire|Unable to lock' "$log" && ((++tries < 240)); then
      sleep 5
      continue
    fi
    cat "$log" >&2
    rm -f "$log"
    die "apt-get $* failed"
  done
  rm -f "$log"
}

# --- tools ------------------------------------------------------------------------------------

packages=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev autoconf automake libtool googletest
          libboost-dev libcli11-dev nlohmann-json3-dev)
declare -A commands=([cmake]=cmake [ninja-build]=ninja [pkg-config]=pkg-config [make]=make)
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for package in "${packages[@]}"; do
  grep -qx "$package install ok installed" <<<"$installed" || missing+=("$package")
done
for package in "${!commands[@]}"; do
  command -v "${commands[$package]}" >/dev/null || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  say "installing ${missing[*]}"
  apt_root update
  apt_root install -y --no-install-recommends "${missing[@]}"
fi

# --- Debian sources ---------------------------------------------------------------------------

sources=(tinyxml2 speexdsp libsndfile highway kissfft fftw3)

has_deb_src() {
  local targets
  # shellcheck disable=SC2016 # apt's own format fields
  targets=$(apt-get indextargets --format '$(CREATED_BY) $(RELEASE)')
  grep -q '^Sources bookworm' <<<"$targets"
}

# Adds deb-src entries mirroring the enabled bookworm deb entries.
add_deb_src() {
  local dir=/etc/apt/sources.list.d lists=() deb822=() file
  [[ -f /etc/apt/sources.list ]] && lists+=(/etc/apt/sources.list)
  for file in "$dir"/*.list; do [[ -f "$file" ]] && lists+=("$file"); done
  for file in "$dir"/*.sources; do [[ -f "$file" ]] && deb822+=("$file"); done
  local one_line="" stanzas=""
  if [[ ${#lists[@]} -gt 0 ]]; then
    one_line=$(sed -nE 's/^[[:space:]]*deb([[:space:]]+(\[[^]]*\][[:space:]]+)?[^[:space:]]+[[:space:]]+bookworm)/deb-src\1/p' \
               "${lists[@]}")
  fi
  if [[ ${#deb822[@]} -gt 0 ]]; then
    stanzas=$(awk 'BEGIN { RS = ""; FS = "\n" }
      { types = ""; suites = ""; enabled = 1; body = ""
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^#/) continue
          if ($i ~ /^Types:/) { types = $i; continue }
          if ($i ~ /^Suites:/) suites = $i
          if ($i ~ /^Enabled:[[:space:]]*[Nn]o/) enabled = 0
          body = body $i "\n"
        }
        if (enabled && types ~ /[[:space:]]deb([[:space:]]|$)/ && suites ~ /[[:space:]]bookworm/)
          printf "Types: deb-src\n%s\n", body
      }' "${deb822[@]}")
  fi
  [[ -n "$one_line$stanzas" ]] || die "no Debian 12 (bookworm) deb entry in /etc/apt to mirror as deb-src"
  [[ -z "$stanzas" ]] || printf '%s\n' "$stanzas" | $sudo tee "$dir/qorapo-deb-src.sources" >/dev/null
  [[ -z "$one_line" ]] || printf '%s\n' "$one_line" | $sudo tee "$dir/qorapo-deb-src.list" >/dev/null
  say "added deb-src entries in $dir/qorapo-deb-src.*"
}

# Fills version[] with the newest version of each source package apt knows. What apt-cache said
# is kept until apt's source lists change, so that a run with nothing to do stays quick.
declare -A version=()
versions_cache=$deps/stamps/source-versions
read_versions() {
  local pkg ver
  version=()
  if [[ ! -s "$versions_cache" ]] ||
     [[ -n "$(find /var/lib/apt/lists -maxdepth 1 -name '*Sources*' -newer "$versions_cache")" ]]; then
    mkdir -p "$(dirname "$versions_cache")"
    apt-cache showsrc --only-source "${sources[@]}" 2>/dev/null |
      awk '/^Package:/ { p = $2 } /^Version:/ { print p, $2 }' >"$versions_cache.new" || true
    mv "$versions_cache.new" "$versions_cache"
  fi
  while read -r pkg ver; do
    if [[ -z "${version[$pkg]:-}" ]] || dpkg --compare-versions "$ver" gt "${version[$pkg]}"; then
      version[$pkg]=$ver
    fi
  done <"$versions_cache"
  for pkg in "${sources[@]}"; do
    [[ -n "${version[$pkg]:-}" ]] || { rm -f "$versions_cache"; return 1; }
  done
}

if ! read_versions; then
  if ! has_deb_src; then
    add_deb_src
  fi
  apt_root update
  read_versions || die "apt-get source cannot see ${sources[*]}: no deb-src for bookworm?"
fi
version[googletest]=$(dpkg-query -W -f='${Version}' googletest)
version[headers]=$(dpkg-query -W -f='${Version},' libboost-dev libcli11-dev nlohmann-json3-dev)
version[headers]=${version[headers]%,}

# Unpacks the Debian source of $1 (Debian patches applied) under src/$1 and sets srcdir.
srcdir=""
unpack() {
  local pkg=$1 ver=${version[$1]} upstream
  upstream=${ver#*:}
  upstream=${upstream%-*}
  srcdir=$deps/src/$pkg/$pkg-$upstream
  if [[ ! -f "$deps/src/$pkg/.unpacked-$ver" ]]; then
    rm -rf "$deps/src/$pkg"
    mkdir -p "$deps/src/$pkg"
    (cd "$deps/src/$pkg" && apt-get source -qq --only-source -o APT::Sandbox::User=root "$pkg=$ver") \
      >"$deps/logs/$pkg.source.log" 2>&1 || { cat "$deps/logs/$pkg.source.log" >&2; die "apt-get source $pkg=$ver failed"; }
    [[ -d "$srcdir" ]] || die "apt-get source $pkg=$ver did not unpack into $srcdir"
    touch "$deps/src/$pkg/.unpacked-$ver"
  fi
}

# --- build helpers ----------------------------------------------------------------------------

export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH="" PKG_CONFIG_SYSROOT_DIR=""

# cmake_build NAME SOURCE_DIR [cmake args...]
cmake_build() {
  local name=$1 src=$2
  shift 2
  local dir=$deps/build/$name
  rm -rf "$dir"
  cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQOR_WIN_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_INSTALL_INCLUDEDIR=include -DCMAKE_INSTALL_BINDIR=bin -DBUILD_SHARED_LIBS=OFF "$@"
  cmake --build "$dir" -j "$jobs"
  cmake --install "$dir"
}

# autotools_build NAME SOURCE_DIR [configure args...]
autotools_build() {
  local name=$1 src=$2 shell=/bin/sh
  shift 2
  local dir=$deps/build/$name
  # libtool runs once per object file, and under dash in two thirds of the time bash takes.
  [[ -x /bin/dash ]] && shell=/bin/dash
  rm -rf "$dir"
  mkdir -p "$dir"
  # Dependency tracking costs fftw's configure a minute and a half, for a build made only once.
  (cd "$dir" && CONFIG_SHELL=$shell $shell "$src/configure" --host=$host --prefix="$prefix" \
     --libdir="$prefix/lib" --enable-static --disable-shared --disable-dependency-tracking "$@" &&
   make -j "$jobs" && make install)
}

# Points the named .pc files at the folder they are in, so the prefix can move.
fix_pc() {
  local pc
  for pc in "$@"; do
    pc=$prefix/lib/pkgconfig/$pc.pc
    [[ -f "$pc" ]] || die "$(basename "$pc") was not installed"
    # shellcheck disable=SC2016 # pkg-config's variables
    sed -i -e '1i prefix=${pcfiledir}/../..' -e '/^prefix=/d' -e "s|$prefix|\${prefix}|g" "$pc"
  done
  # libtool archives only repeat absolute paths.
  rm -f "$prefix"/lib/*.la
}

# --- recipes ----------------------------------------------------------------------------------

build_googletest() {
  cmake_build googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=OFF
  fix_pc gtest gtest_main gmock gmock_main
}

build_tinyxml2() {
  unpack tinyxml2
  cmake_build tinyxml2 "$srcdir" -Dtinyxml2_BUILD_TESTING=OFF -DBUILD_TESTING=OFF
  fix_pc tinyxml2
}

build_speexdsp() {
  unpack speexdsp
  [[ -x "$srcdir/configure" ]] || (cd "$srcdir" && autoreconf -fi)
  autotools_build speexdsp "$srcdir" --disable-examples
  fix_pc speexdsp
}

build_libsndfile() {
  unpack libsndfile
  cmake_build libsndfile "$srcdir" -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF \
    -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DENABLE_CPACK=OFF -DINSTALL_MANPAGES=OFF \
    -DBUILD_REGTEST=OFF
  fix_pc sndfile
}

build_highway() {
  unpack highway
  cmake_build highway "$srcdir" -DHWY_ENABLE_TESTS=OFF -DHWY_ENABLE_CONTRIB=OFF \
    -DHWY_ENABLE_EXAMPLES=OFF -DBUILD_TESTING=OFF -DHWY_WARNINGS_ARE_ERRORS=OFF
  fix_pc libhwy libhwy-test
}

build_kissfft() {
  unpack kissfft
  cmake_build kissfft "$srcdir" -DKISSFFT_DATATYPE=float -DKISSFFT_STATIC=ON \
    -DKISSFFT_TEST=OFF -DKISSFFT_TOOLS=OFF -DKISSFFT_OPENMP=OFF -DKISSFFT_PKGCONFIG=ON
  fix_pc kissfft-float
}

build_fftw3() {
  unpack fftw3
  # Double precision only: the convolution calls fftw_*, and nothing calls fftwf_*. SSE2 alone
  # halves the build against SSE2 and AVX, and every x86_64 machine has it. fftw's own allocator
  # keeps the buffers aligned on Windows.
  autotools_build fftw3-double "$srcdir" --disable-fortran --disable-threads --disable-openmp \
    --disable-doc --enable-sse2 --with-our-malloc
  fix_pc fftw3
}

# The header-only libraries, without showing the cross compiler the rest of /usr/include.
build_headers() {
  local dir
  mkdir -p "$prefix/include" "$prefix/share/cmake" "$prefix/lib/pkgconfig"
  for dir in boost CLI nlohmann; do ln -sfn "/usr/include/$dir" "$prefix/include/$dir"; done
  # Their CMake configs find the headers relative to themselves, so copies work from here.
  for dir in CLI11 nlohmann_json; do
    rm -rf "${prefix:?}/share/cmake/$dir"
    cp -r "/usr/share/cmake/$dir" "$prefix/share/cmake/$dir"
  done
  for dir in CLI11 nlohmann_json; do
    sed -e "s|^prefix=/usr\$|prefix=$prefix|" -e "s|/usr/include|$prefix/include|g" \
      "/usr/share/pkgconfig/$dir.pc" >"$prefix/lib/pkgconfig/$dir.pc"
  done
  fix_pc CLI11 nlohmann_json
}

# --- build what changed -----------------------------------------------------------------------

mkdir -p "$deps/src" "$deps/build" "$deps/logs" "$deps/stamps" "$prefix"
common_hash=$(
  { declare -f apt_root unpack cmake_build autotools_build fix_pc; cat "$toolchain"; } | sha256sum)

# run_recipe LIB: builds LIB and stamps it.
run_recipe() {
  local lib=$1 log=$deps/logs/$1.log start=$SECONDS rc
  rm -f "$deps/stamps/$lib"
  # Not under `if`, which would switch off set -e inside the recipe.
  set +e
  (set -e; "build_$lib") >"$log" 2>&1
  rc=$?
  set -e
  if ((rc != 0)); then
    tail -n 30 "$log" >&2
    die "building $lib failed; the whole log is $log"
  fi
  echo "${stamp[$lib]}" >"$deps/stamps/$lib"
  say "built $lib ${version[$lib]} in $((SECONDS - start)) s"
}

declare -A stamp=()
todo=()
for lib in googletest headers tinyxml2 speexdsp libsndfile highway kissfft fftw3; do
  stamp[$lib]="${version[$lib]} $(
    { echo "$common_hash"; declare -f "build_$lib"; } | sha256sum | cut -c1-16)"
  [[ "$(cat "$deps/stamps/$lib" 2>/dev/null)" == "${stamp[$lib]}" ]] || todo+=("$lib")
done

# Ends a background build with all its processes when this script stops early.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
# fftw takes longer than all the others together, which mostly keep one core busy configuring:
# it builds alongside them.
background=""
trap '[[ -z "$background" ]] || kill_tree "$background"' EXIT
for lib in "${todo[@]}"; do
  if [[ $lib == fftw3 ]]; then
    run_recipe fftw3 &
    background=$!
  fi
done
for lib in "${todo[@]}"; do
  [[ $lib == fftw3 ]] || run_recipe "$lib"
done
if [[ -n "$background" ]]; then
  wait "$background" || { background=""; exit 1; }
  background=""
fi
[[ ${#todo[@]} -eq 0 ]] || say "prefix: $prefix"

# --- check ------------------------------------------------------------------------------------

((check)) || exit 0

# A CMake project through the toolchain file, run by ctest under wine: one program per library,
# plus GoogleTest's discovery, which runs the test program at build time.
checkdir=$deps/check
rm -rf "$checkdir"
mkdir -p "$checkdir/src"
cat >"$checkdir/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(qorapo_win_deps_check C CXX)
set(CMAKE_CXX_STANDARD 20)
add_compile_options(-Wall -Wextra -Werror)
find_package(PkgConfig REQUIRED)
foreach(lib tinyxml2 speexdsp sndfile libhwy fftw3 kissfft-float)
  pkg_check_modules(${lib} REQUIRED IMPORTED_TARGET ${lib})
endforeach()
find_package(Boost REQUIRED)
find_package(CLI11 CONFIG REQUIRED)
find_package(nlohmann_json CONFIG REQUIRED)
find_package(GTest REQUIRED)
enable_testing()
include(GoogleTest)
foreach(name sndfile speexdsp fftw kissfft tinyxml2 hwy headers exitcode)
  add_executable(check_${name} ${name}.cpp)
  add_test(NAME ${name} COMMAND check_${name})
endforeach()
target_link_libraries(check_sndfile PkgConfig::sndfile)
target_link_libraries(check_speexdsp PkgConfig::speexdsp)
target_link_libraries(check_fftw PkgConfig::fftw3)
target_link_libraries(check_kissfft PkgConfig::kissfft-float)
target_link_libraries(check_tinyxml2 PkgConfig::tinyxml2)
target_link_libraries(check_hwy PkgConfig::libhwy)
target_link_libraries(check_headers Boost::headers CLI11::CLI11 nlohmann_json::nlohmann_json)
set_tests_properties(exitcode PROPERTIES WILL_FAIL TRUE)
add_executable(check_gtest gtest.cpp)
target_link_libraries(check_gtest GTest::gmock GTest::gtest_main)
# The first wine start of a session, which makes the prefix too, can pass the default 5 s.
gtest_discover_tests(check_gtest DISCOVERY_TIMEOUT 120)
EOF

cat >"$checkdir/src/sndfile.cpp" <<'EOF'
#include <sndfile.h>
#include <cmath>
#include <cstdio>
#include <vector>
int main() {
  const int rate = 48000, frames = 4800;
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  std::vector<short> out(frames * 2);
  for (int i = 0; i < frames; ++i)
    out[2 * i] = out[2 * i + 1] = short(10000 * std::sin(2 * M_PI * 1000 * i / rate));
  SNDFILE* file = sf_open("check.wav", SFM_WRITE, &info);
  if (!file || sf_writef_short(file, out.data(), frames) != frames) return 1;
  sf_close(file);
  SF_INFO read_info{};
  file = sf_open("check.wav", SFM_READ, &read_info);
  if (!file) return std::printf("%s\n", sf_strerror(nullptr)), 1;
  std::vector<short> in(frames * 2);
  if (read_info.frames != frames || read_info.samplerate != rate) return 1;
  if (sf_readf_short(file, in.data(), frames) != frames || in != out) return 1;
  sf_close(file);
  std::remove("check.wav");
  return 0;
}
EOF

cat >"$checkdir/src/speexdsp.cpp" <<'EOF'
#include <speex/speex_resampler.h>
#include <vector>
int main() {
  int err = 0;
  SpeexResamplerState* st = speex_resampler_init(1, 48000, 44100, 5, &err);
  if (!st || err != RESAMPLER_ERR_SUCCESS) return 1;
  std::vector<float> in(4800, 0.5f), out(4800);
  spx_uint32_t in_len = 4800, out_len = 4800;
  speex_resampler_process_float(st, 0, in.data(), &in_len, out.data(), &out_len);
  speex_resampler_destroy(st);
  // 4800 frames at 48 kHz are 4410 at 44.1 kHz, less the filter's latency.
  return in_len == 4800 && out_len > 4300 && out_len <= 4410 ? 0 : 1;
}
EOF

cat >"$checkdir/src/fftw.cpp" <<'EOF'
#include <fftw3.h>
#include <cmath>
#include <complex>
int main() {
  const int n = 1024, bin = 37;
  double* din = fftw_alloc_real(n);
  fftw_complex* dout = fftw_alloc_complex(n / 2 + 1);
  fftw_plan dplan = fftw_plan_dft_r2c_1d(n, din, dout, FFTW_MEASURE);
  for (int i = 0; i < n; ++i) din[i] = std::cos(2 * M_PI * bin * i / n);
  fftw_execute(dplan);
  const bool ok =
      std::abs(dout[bin][0] - n / 2.0) < 1e-6 * n && std::abs(dout[bin + 1][0]) < 1e-6 * n;
  fftw_destroy_plan(dplan);
  fftw_free(din);
  fftw_free(dout);
  return ok ? 0 : 1;
}
EOF

cat >"$checkdir/src/kissfft.cpp" <<'EOF'
#include <kiss_fftr.h>
#include <cmath>
#include <vector>
int main() {
  const int n = 256, bin = 10;
  kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
  if (!cfg) return 1;
  std::vector<kiss_fft_scalar> in(n);
  std::vector<kiss_fft_cpx> out(n / 2 + 1);
  for (int i = 0; i < n; ++i) in[i] = std::cos(2 * M_PI * bin * i / n);
  kiss_fftr(cfg, in.data(), out.data());
  kiss_fftr_free(cfg);
  return std::abs(out[bin].r - n / 2.0f) < 0.01f * n && std::abs(out[bin - 1].r) < 0.01f * n ? 0 : 1;
}
EOF

cat >"$checkdir/src/tinyxml2.cpp" <<'EOF'
#include <tinyxml2.h>
#include <cstring>
int main() {
  tinyxml2::XMLDocument doc;
  if (doc.Parse("<preset gain='-3.5'><name>check</name></preset>") != tinyxml2::XML_SUCCESS) return 1;
  const tinyxml2::XMLElement* root = doc.FirstChildElement("preset");
  return root && root->FloatAttribute("gain") == -3.5f &&
         std::strcmp(root->FirstChildElement("name")->GetText(), "check") == 0 ? 0 : 1;
}
EOF

cat >"$checkdir/src/hwy.cpp" <<'EOF'
#include <hwy/highway.h>
#include <hwy/targets.h>
#include <cstdio>
namespace hn = hwy::HWY_NAMESPACE;
int main() {
  HWY_ALIGN float data[64];
  for (int i = 0; i < 64; ++i) data[i] = float(i);
  const hn::ScalableTag<float> d;
  auto sum = hn::Zero(d);
  for (size_t i = 0; i < 64; i += hn::Lanes(d)) sum = hn::Add(sum, hn::Load(d, data + i));
  // Library code too, not only headers.
  if (hwy::SupportedTargets() == 0) return 1;
  return hn::GetLane(hn::SumOfLanes(d, sum)) == 2016.0f ? 0 : 1;
}
EOF

cat >"$checkdir/src/headers.cpp" <<'EOF'
#include <CLI/CLI.hpp>
#include <boost/container/small_vector.hpp>
#include <nlohmann/json.hpp>
int main(int argc, char** argv) {
  CLI::App app{"check"};
  int gain = 4;
  app.add_option("--gain", gain);
  CLI11_PARSE(app, argc, argv);
  boost::container::small_vector<int, 4> v{1, 2, 3};
  auto j = nlohmann::json::parse(R"({"gain": 4, "bands": [1, 2, 3]})");
  return j["gain"] == gain && j["bands"].size() == v.size() ? 0 : 1;
}
EOF

cat >"$checkdir/src/exitcode.cpp" <<'EOF'
int main() { return 3; }
EOF

cat >"$checkdir/src/gtest.cpp" <<'EOF'
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>
struct Sink {
  virtual ~Sink() = default;
  virtual void write(int) = 0;
};
struct MockSink : Sink {
  MOCK_METHOD(void, write, (int), (override));
};
TEST(Check, Mock) {
  MockSink sink;
  EXPECT_CALL(sink, write(testing::Gt(2))).Times(1);
  std::thread([&] { sink.write(3); }).join();
}
TEST(Check, Plain) { EXPECT_EQ(1 + 1, 2); }
EOF

# A prefix of its own, apart from the one the test suite uses.
export QOR_WINEPREFIX=${QOR_WINEPREFIX:-$deps/wineprefix}
start=$SECONDS
log=$deps/logs/check.log
if ! { cmake -S "$checkdir/src" -B "$checkdir/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
         -DQOR_WIN_DEPS="$prefix" -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$checkdir/build" -j "$jobs" &&
       ctest --test-dir "$checkdir/build" -j "$jobs" --output-on-failure; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  die "check failed; the whole log is $log"
fi
say "check: $(grep -Eo '[0-9]+ tests? passed|[0-9]+% tests passed.*' "$log" | tail -n 1) under wine in $((SECONDS - start)) s"
