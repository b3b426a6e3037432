#!/usr/bin/env bash
# Runs the Windows build under Wine: the 64-bit test binary, then console runs of Orvelle.exe
# without a database engine and with the stand-in COM engine registered as DAO.DBEngine.120,
# then the real window driven from outside, with screenshots in build/mingw64/screenshots.
# Builds the mingw64 preset first when needed. Skips (exit 0) when Wine is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if ! command -v wine >/dev/null; then
  echo "windows-test: skipped, wine is not installed (packages wine, wine64)"
  exit 0
fi
start=$(date +%s)
bash scripts/windows-build.sh mingw64
build="$root/build/mingw64"

work=$(mktemp -d "${TMPDIR:-/tmp}/orvelle-wine.XXXXXX")
export WINEDEBUG=-all WINEARCH=win64 ORVELLE_QUIET=1
# No desktop integration, no browser, and no offers to install Mono or Gecko.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;winebrowser.exe=d;mscoree=d;mshtml=d"
unset ORVELLE_TEST_ENGINE_LOG ORVELLE_TEST_PROGID
prefixes=()
cleanup() {
  for p in "${prefixes[@]}"; do WINEPREFIX="$p" wineserver -k 2>/dev/null || true; done
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Windows path of a Unix path (Wine maps / to drive Z:).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Window tests need a display: a virtual one for the whole run when there is none.
xvfb_pid=
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 300); do [ -s "$work/display" ] && break; sleep 0.1; done
  if [ ! -s "$work/display" ]; then
    echo "windows-test: FAILED: Xvfb gave no display within 30 s" >&2
    exit 1
  fi
  DISPLAY=":$(cat "$work/display")"
  export DISPLAY
fi
# run_wine SECONDS PROGRAM ARGS...: a hung program costs at most SECONDS.
run_wine() {
  local limit=$1
  shift
  timeout "$limit" wine "$@"
}

failures=0
fail() { echo "windows-test: FAILED: $*" >&2; failures=$((failures + 1)); }

plain="$work/prefix"
prefixes+=("$plain")
# set_up_prefix PREFIX: a fresh prefix with Wine's own fonts and desktop.
set_up_prefix() {
  local prefix=$1
  WINEPREFIX="$prefix" timeout 300 wine wineboot -i || return 1
  WINEPREFIX="$prefix" timeout 120 wineserver -w || return 1
  [ -d "$prefix/drive_c/windows/system32" ] || return 1
  # Wine's own Tahoma and Marlett, which this Wine does not find by itself: the windows then
  # look as they do on Windows, caption buttons included.
  if [ -d /usr/share/wine/fonts ]; then
    mkdir -p "$prefix/drive_c/windows/Fonts" &&
      ln -sf /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" || return 1
  fi
  # A desktop of Wine's own: it draws whole windows, caption bars included, with no window
  # manager.
  WINEPREFIX="$prefix" timeout 120 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop \
    /d Default /f || return 1
  WINEPREFIX="$prefix" timeout 120 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' \
    /v Default /d 1280x1024 /f || return 1
  WINEPREFIX="$prefix" timeout 120 wineserver -w
}
# A first start of Wine on a new machine can fail once: three tries, and the output of each
# failed one is shown.
prefix_made=
for try in 1 2 3; do
  echo "windows-test: creating the Wine prefix (try $try)"
  rm -rf "$plain"
  if set_up_prefix "$plain" >"$work/prefix.log" 2>&1; then
    prefix_made=1
    break
  fi
  echo "windows-test: setting up the Wine prefix failed; its output:" >&2
  tail -n 40 "$work/prefix.log" >&2 || true
  WINEPREFIX="$plain" wineserver -k 2>/dev/null || true
  sleep 2
done
if [ -z "$prefix_made" ]; then
  echo "windows-test: FAILED: no Wine prefix could be set up" >&2
  exit 1
fi
# A second prefix for the stand-in DAO engine, copied before anything is registered.
engine_prefix="$work/prefix-engine"
cp -a "$plain" "$engine_prefix"
prefixes+=("$engine_prefix")

# ORVELLE_WINE_GTEST_FILTER narrows the tests (a GoogleTest filter) while some are not ported.
echo "windows-test: orvelle_tests.exe"
if ! (cd "$build" && WINEPREFIX="$plain" run_wine 600 ./orvelle_tests.exe --gtest_brief=1 \
  "--gtest_filter=${ORVELLE_WINE_GTEST_FILTER:-*}"); then
  fail "orvelle_tests.exe (exit status 124 means it ran out of time)"
fi

# console_run PREFIX NAME OPTIONS: a console run over $work/NAME/in, writing $work/NAME/run.log,
# always through DAO (the native engine is not what these runs check).
console_run() {
  local prefix=$1 name=$2 options=$3 dir="$work/$2"
  local source target log
  source=$(winpath "$dir/in")'\*.*db'
  target=$(winpath "$dir/out")
  log=$(winpath "$dir/run.log")
  (cd "$dir" && WINEPREFIX="$prefix" run_wine 120 "$build/Orvelle.exe" \
    "-P:Source=$source,Target=$target,PureConsole=1,Engine=dao,LogFile=$log$options")
}

# Without an engine every file fails with the text of the last creation attempt, worded as
# Windows words it even where Wine's message tables lack the text. The tree
# also holds a link back to its top (the search must not loop) and a dot folder, which Wine
# reports hidden (never searched).
echo "windows-test: console run without a database engine"
mkdir -p "$work/no-engine/in/sub" "$work/no-engine/in/.hidden"
for f in a.mdb b.accdb sub/c.mdb .hidden/d.mdb; do printf 'database' >"$work/no-engine/in/$f"; done
ln -s .. "$work/no-engine/in/sub/loop"
if console_run "$plain" no-engine ",ThreadsCount=2,Subdir=1"; then
  in=$(winpath "$work/no-engine/in")
  log="$work/no-engine/run.log"
  text='Invalid class string, ProgID: "DAO.DBEngine.36"'
  expected=$(printf 'Failure => %s => %s\r\n' "$in\\a.mdb" "$text" "$in\\b.accdb" "$text" \
    "$in\\sub\\c.mdb" "$text" | sort)
  if [ "$(sort "$log" 2>/dev/null)" != "$expected" ]; then
    fail "no-engine: expected three failures naming DAO.DBEngine.36, got:"
    cat "$log" >&2 2>/dev/null || true
  fi
else
  fail "no-engine: Orvelle.exe did not exit with 0"
fi

# With the stand-in engine registered as DAO.DBEngine.120 the files go through real COM.
echo "windows-test: console run through the stand-in engine"
dll=$(winpath "$build/orvelle_test_engine.dll")
if ! ORVELLE_TEST_PROGID=DAO.DBEngine.120 WINEPREFIX="$engine_prefix" wine regsvr32 /s "$dll"; then
  fail "regsvr32 of the stand-in engine"
fi
for run in plain password; do
  mkdir -p "$work/$run/in"
  for f in one.mdb two.accdb will-fail.mdb; do printf 'database %s' "$f" >"$work/$run/in/$f"; done
  options=",ThreadsCount=1"
  [ "$run" = password ] && options="$options,Password=s3cret"
  calls="$work/$run/calls.log"
  if ! ORVELLE_TEST_ENGINE_LOG=$(winpath "$calls") console_run "$engine_prefix" "$run" "$options"; then
    fail "$run: Orvelle.exe did not exit with 0"
    continue
  fi
  log="$work/$run/run.log"
  in=$(winpath "$work/$run/in")
  out=$(winpath "$work/$run/out")
  expected=$(printf '%s\r\n' \
    "Success => $in\\one.mdb => $out\\one.mdb" \
    "Success => $in\\two.accdb => $out\\two.accdb" \
    "Failure => $in\\will-fail.mdb => The test engine refused $in\\will-fail.mdb" | sort)
  if [ "$(sort "$log" 2>/dev/null)" != "$expected" ]; then
    fail "$run: unexpected log:"
    cat "$log" >&2 2>/dev/null || true
  fi
  for f in one.mdb two.accdb; do
    if [ "$(cat "$work/$run/out/$f" 2>/dev/null)" != "database $f" ]; then
      fail "$run: target $f not written by the engine"
    fi
    [ -f "$work/$run/in/$f" ] || fail "$run: source $f lost"
  done
  # The engine works on copies in a private folder beside the target, which goes with them:
  # nothing stays behind in either folder, whatever the result.
  left=$( (cd "$work/$run/in" && ls -A; cd "$work/$run/out" && ls -A) | sort | tr '\n' ' ')
  [ "$left" = "one.mdb one.mdb two.accdb two.accdb will-fail.mdb " ] ||
    fail "$run: files after the run: $left"
  if [ "$run" = password ]; then
    suffix='|<omitted>|<omitted>|;pwd=s3cret'
  else
    suffix=''
  fi
  # The private folder's name is random: the calls are compared with it written as "*".
  want=$(printf 'CompactDatabase|%s|%s%s\r\n' \
    "$out\\*\\one.mdb.bak" "$out\\*\\one.mdb" "$suffix" \
    "$out\\*\\two.accdb.bak" "$out\\*\\two.accdb" "$suffix" \
    "$out\\*\\will-fail.mdb.bak" "$out\\*\\will-fail.mdb" "$suffix" | sort)
  got=$(sed 's/\\\.orvelle-[A-Za-z0-9]*\\/\\*\\/g' "$calls" 2>/dev/null | sort)
  if [ "$got" != "$want" ]; then
    fail "$run: the engine received unexpected calls:"
    cat "$calls" >&2 2>/dev/null || true
  fi
done

# The native engine inside Orvelle.exe, over real databases: with no DAO in the prefix "auto"
# picks it. Each result must be byte for byte what the Linux build's orvelle-jet makes of the
# same file, and a file the Linux build refuses must fail here too.
# native_run NAME PASSWORD FILE...: one console run over copies of the files in $work/NAME/in,
# with the option Password when PASSWORD is not empty.
oracle="$root/build/linux/orvelle-jet"
native_run() {
  local name=$1 password=$2 dir="$work/$1" f base in out expected option=""
  shift 2
  mkdir -p "$dir/in" "$dir/expected"
  for f in "$@"; do [ -f "$f" ] && cp "$f" "$dir/in/"; done
  if [ -z "$(ls "$dir/in")" ]; then
    echo "windows-test: $name: skipped, no sample databases (../shared/fixtures, build/test-data)"
    return
  fi
  in=$(winpath "$dir/in")
  out=$(winpath "$dir/out")
  [ -n "$password" ] && option=",Password=$password"
  expected=""
  for f in "$dir/in/"*; do
    base=$(basename "$f")
    if "$oracle" compact "$f" "$dir/expected/$base" "--password=$password" >/dev/null 2>&1; then
      expected+="Success => $in\\$base => $out\\$base"$'\n'
    else
      expected+="Failure => $in\\$base"$'\n'
    fi
  done
  if ! (cd "$dir" && WINEPREFIX="$plain" run_wine 300 "$build/Orvelle.exe" \
    "-P:Source=$in\\*.*db,Target=$out,PureConsole=1,ThreadsCount=2$option,LogFile=$(winpath "$dir/run.log")"); then
    fail "$name: Orvelle.exe did not exit with 0"
    return
  fi
  # A failure's reason is the engine's own text; the file it names is enough here.
  got=$(tr -d '\r' <"$dir/run.log" | sed 's/^\(Failure => [^=]*[^= ]\) => .*/\1/' | sort)
  if [ "$got" != "$(printf '%s' "$expected" | sort)" ]; then
    fail "$name: unexpected log:"
    cat "$dir/run.log" >&2
  fi
  for f in "$dir/expected/"*; do
    [ -f "$f" ] || continue
    base=$(basename "$f")
    cmp -s "$f" "$dir/out/$base" || fail "$name: $base differs from the Linux build's compaction"
    # What the CNG seam wrote decrypts, with OpenSSL, to what the source holds.
    if [ -n "$password" ] && ! "$oracle" compare "--password=$password" "$dir/in/$base" \
      "$dir/out/$base" >/dev/null 2>&1; then
      fail "$name: the Linux build does not read $base as the source with the password"
    fi
  done
  echo "windows-test: $name: $(find "$dir/expected" -type f | wc -l) databases compacted as on" \
    "Linux, $(grep -c '^Failure' "$dir/run.log" || true) refused"
}
echo "windows-test: console runs with the native engine"
fixtures="$root/../shared/fixtures"
if [ ! -x "$oracle" ]; then
  echo "windows-test: skipped, build/linux/orvelle-jet is needed (bash scripts/build.sh linux)"
else
  native_run native "" "$fixtures/access/"*.mdb "$fixtures/access/"*.accdb \
    "$fixtures/access-encrypted/"*.mdb "$fixtures/access-encrypted/"*.accdb \
    "${ORVELLE_TEST_DATA:-$root/build/test-data}/"*.mdb
  # The password-encrypted fixtures, one run per password (the folder's README lists them):
  # each compacts with its own and is refused with the others'.
  for password in Test123 1234 password; do
    [ -d "$fixtures/access-encrypted" ] &&
      native_run "native-password-$password" "$password" "$fixtures/access-encrypted/"*.accdb
  done
fi

# The real window, driven from outside by ui_driver.exe (tests/win32/ui_driver.cpp), with
# screenshots for people to look at. The program runs as a copy in a folder of its own, so no
# default project or state file of the build folder plays a part.
echo "windows-test: the main window, the options dialog and the about window"
shots="$build/screenshots"
rm -rf "$shots"
mkdir -p "$shots" "$work/app"
cp "$build/Orvelle.exe" "$work/app/"
app=$(winpath "$work/app/Orvelle.exe")
shot() { winpath "$shots/$1.png"; }
# drive PREFIX NAME STEP...: the driver's steps; what it said is shown when one fails.
# Each prefix's desktop is a window on the same display: only one may be there at a time.
drive() {
  local prefix=$1 name=$2 p
  shift 2
  for p in "${prefixes[@]}"; do
    [ "$p" = "$prefix" ] || { WINEPREFIX="$p" wineserver -k 2>/dev/null || true; }
  done
  if ! WINEPREFIX="$prefix" run_wine 120 "$build/ui_driver.exe" "$@" >"$work/$name.driver" 2>&1; then
    fail "window $name:"
    cat "$work/$name.driver" >&2
  fi
}
# window_source NAME FILE...: database stand-ins in $work/NAME/in; sets $in and $out.
window_source() {
  local name=$1 f
  shift
  mkdir -p "$work/$name/in"
  for f in "$@"; do
    mkdir -p "$(dirname "$work/$name/in/$f")"
    printf 'database %s' "$f" >"$work/$name/in/$f"
  done
  in=$(winpath "$work/$name/in")
  out=$(winpath "$work/$name/out")
}

# Without a project file or options, the default project beside the program is the project
# (its name shows even when the file does not exist); New leaves it untitled.
drive "$plain" idle start "\"$app\"" main \
  caption "Orvelle - $(winpath "$work/app")\\Orvelle.batch-tessoly" shot "$(shot main-idle)" \
  command "&New" caption "Orvelle - None" close exit 30

# Search lists the matching files of the folder (not its sub-folders); Compact runs them
# through the stand-in engine, which refuses will-fail.mdb.
window_source search one.mdb two.accdb will-fail.mdb notes.txt sub/three.mdb
drive "$engine_prefix" search \
  start "\"$app\" \"-P:Source=$in\\*.*db,Target=$out,Engine=dao,ThreadsCount=2\"" main \
  caption "Orvelle - None" click Search rows 3 \
  files "$in\\one.mdb|$in\\two.accdb|$in\\will-fail.mdb" \
  click "&Compact" states 2 1 button "&Compact" \
  results "$out\\one.mdb|$out\\two.accdb|The test engine refused $in\\will-fail.mdb" \
  shot "$(shot main-after-run)" \
  command Config window OrvelleConfig shot "$(shot options)" click Cancel gone \
  command About window OrvelleAbout alpha 200 shot "$(shot about)" key gone \
  close exit 30

# Unattended, with no engine in Wine: every file fails, the window writes its list as the log
# and closes by itself.
window_source unattended a.mdb b.accdb
log="$work/unattended/run.log"
options="Source=$in\\*.*db,Target=$out,Engine=dao,RunAndClose=1,LogFile=$(winpath "$log")"
drive "$plain" unattended start "\"$app\" \"-P:$options\"" exit 60
text='Invalid class string, ProgID: "DAO.DBEngine.36"'
expected=$(printf '[Failure] => %s => %s\r\n' "$in\\a.mdb" "$text" "$in\\b.accdb" "$text" | sort)
if [ "$(sort "$log" 2>/dev/null)" != "$expected" ]; then
  fail "unattended window: expected two failures in the log, got:"
  cat "$log" >&2 2>/dev/null || true
fi

# A console run whose source holds "http" takes the window path, unseen: fully transparent.
# The Daemon pause keeps it open after its run until it is closed.
window_source https-share a.mdb
drive "$plain" transparent \
  start "\"$app\" \"-P:Source=$in\\*.*db,Target=$out,Engine=dao,PureConsole=1,Daemon=600000\"" \
  main alpha 0 states 0 1 close exit 30

echo "windows-test: $(($(date +%s) - start)) s under Wine"
if [ "$failures" -gt 0 ]; then
  echo "windows-test: $failures check(s) failed" >&2
  exit 1
fi
echo "windows-test: all Windows checks passed"
