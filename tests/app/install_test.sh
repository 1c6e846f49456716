#!/usr/bin/env bash
# Installs into a temporary prefix and checks what the desktop reads: the
# launcher, the .syx file type, the software centre's data, and that the
# launcher's command line opens a file in the window.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
# "kill 0" would end the whole process group, the test run with it: only a
# window that was started is stopped.
pid=
trap 'if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi; rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
test -x "$prefix/bin/kalvex"
test -n "$(find "$prefix" -path '*/kalvex/kalvex_window.so')"
for f in doc/kalvex/kalvex_manual.pdf man/man1/kalvex.1 icons/hicolor/48x48/apps/kalvex.png \
         icons/hicolor/scalable/apps/kalvex.svg; do
  test -s "$share/$f" || { echo "not installed: $f"; exit 1; }
done
# The window module exports its entry point alone and takes the core from
# the one shared library (a copy of its own would mean two device services).
module=$(find "$prefix" -name kalvex_window.so)
exported=$(nm -D --defined-only "$module" | awk '$2 == "T" {print $3}')
[ "$exported" = "KalvexWindowMain" ] || { echo "the module exports: $exported"; exit 1; }
[ "$(nm -D --undefined-only "$module" | grep -c MidiService)" -gt 0 ] || { echo "the module carries its own core"; exit 1; }
desktop-file-validate "$share/applications/com.zelksoftware.kalvex.desktop"
xmllint --noout "$share/mime/packages/kalvex-sysex.xml"
appstreamcli validate --no-net "$share/metainfo/com.zelksoftware.kalvex.metainfo.xml" >/dev/null
update-mime-database "$share/mime" 2>/dev/null
update-desktop-database -q "$share/applications" 2>/dev/null || true

work=$(mktemp -d -p "$prefix")
printf '\xF0\x43\x20\x7A\xF7' > "$work/dump.syx"
printf '\x00\x01' > "$work/dump-no-magic.syx"
export XDG_DATA_DIRS=$share XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CONFIG_DIRS=$work/none
export XDG_CURRENT_DESKTOP=X-Generic
type=$(xdg-mime query filetype "$work/dump.syx")
[ "$type" = "application/x-sysex" ] || { echo "file type: $type"; exit 1; }
default=$(xdg-mime query default application/x-sysex)
[ "$default" = "com.zelksoftware.kalvex.desktop" ] || { echo "default: $default"; exit 1; }
# By content: SysEx without its extension is SysEx; a text that starts with
# an emoji (F0 9F ...) is not; and text files are not ours to open.
printf '\xF0\x43\x20\x7A\xF7' > "$work/dump"
printf '\xF0\x9F\x8E\xB9 notes\n' > "$work/notes"
type=$(xdg-mime query filetype "$work/dump")
[ "$type" = "application/x-sysex" ] || { echo "SysEx without extension: $type"; exit 1; }
type=$(xdg-mime query filetype "$work/notes")
[ "$type" != "application/x-sysex" ] || { echo "a text was taken for SysEx"; exit 1; }
! grep -q "text/plain" "$share/applications/com.zelksoftware.kalvex.desktop" || { echo "the launcher claims text"; exit 1; }

# The launcher's command line with the file: the window loads it (its
# recent files say so once it closes).
exec_line=$(sed -n 's/^Exec=//p' "$share/applications/com.zelksoftware.kalvex.desktop")
cmd=${exec_line//%f/$work/dump.syx}
export QT_QPA_PLATFORM=offscreen JACK_DEFAULT_SERVER=kalvex_no_server JACK_NO_START_SERVER=1
export XDG_RUNTIME_DIR=$work/run; mkdir -m 700 "$XDG_RUNTIME_DIR"
PATH=$prefix/bin:$PATH $cmd &
pid=$!
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/kalvex.sock" ] && break; sleep 0.1; done
[ -S "$XDG_RUNTIME_DIR/kalvex.sock" ] || { echo "the window did not start"; exit 1; }
sleep 1
kill -TERM $pid
wait $pid
grep -q "$work/dump.syx" "$XDG_CONFIG_HOME/kalvex/registry.conf" || { cat "$XDG_CONFIG_HOME/kalvex/registry.conf"; exit 1; }
echo "install ok"
