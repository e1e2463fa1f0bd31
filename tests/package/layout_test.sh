#!/usr/bin/env bash
# layout_test.sh BUILD_DIR VERSION MAN_PAGES(yes|no): installs the build with prefix /usr into a
# scratch root and checks what the package ships: every file in place and nothing else built,
# owner-only directories named by the default configuration, the tools' versions, the man pages,
# and the service unit as systemd reads it (with its exposure under 3.0).
set -euo pipefail
build=$1 version=$2 man_pages=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
unit=$root/usr/lib/systemd/system/zyld.service
config=$root/etc/velora/cpservices/zyld/config.xml

for f in usr/sbin/zyld usr/bin/ovik-configstore usr/bin/kmipctl usr/bin/zyld-token usr/bin/zylctl; do
  [[ -f $root/$f && -x $root/$f ]] || fail "$f is not an installed executable"
done
for f in usr/lib/velora/mirel/zyl_mirel_metadata.json usr/share/man/man8/zyld.8; do
  [[ -f $root/$f ]] || fail "$f is missing"
done
[[ -f $unit && -f $config ]] || fail "the unit or the configuration is missing"
stray=$(find "$root" \( -name '*test*' -o -name '*bench*' -o -name '*.a' -o -name '*.h' \) -print)
[[ -z $stray ]] || fail "not part of the package: $stray"
for d in var/lib/velora/configstore var/log/velora/zyld; do
  mode=$(stat -c %a "$root/$d" 2>/dev/null || echo missing)
  [[ $mode == 700 ]] || fail "$d: mode $mode, not 700"
done

# The default configuration keeps state, log and audit in those directories.
python3 - "$config" <<'PY' || fail "config.xml does not match the layout"
import sys, xml.etree.ElementTree as ET
config = ET.parse(sys.argv[1]).getroot()
for key, where in {"configStore/path": "/var/lib/velora/configstore/",
                   "audit/path": "/var/log/velora/zyld/", "log/file": "/var/log/velora/zyld/",
                   "metadata/path": "/usr/lib/velora/mirel/zyl_mirel_metadata.json"}.items():
    value = config.findtext(key) or ""
    if not value.startswith(where):
        sys.exit(f"{key}: {value!r}")
PY

for tool in ovik-configstore kmipctl zyld-token zylctl; do
  said=$("$root/usr/bin/$tool" --version) || fail "$tool --version failed"
  [[ $said == "$tool $version" ]] || fail "$tool --version says '$said'"
  if [[ $man_pages == yes && ! -s $root/usr/share/man/man1/$tool.1 ]]; then
    fail "no man page for $tool"
  fi
done

# systemd checks that the daemon exists: the copy names the one in the scratch root.
if command -v systemd-analyze >/dev/null; then
  sed "s|^ExecStart=/usr/sbin/zyld|ExecStart=$root/usr/sbin/zyld|" "$unit" >"$root/zyld.service"
  systemd-analyze verify --man=no "$root/zyld.service" || fail "systemd-analyze verify"
  systemd-analyze security --offline=yes --threshold=29 "$root/zyld.service" >/dev/null ||
    fail "exposure of the unit is 3.0 or more"
else
  echo "systemd-analyze not installed: the unit is not verified"
fi

((failures == 0)) && echo "package layout OK"
exit $((failures > 0))
