#!/usr/bin/env bash
# The module as Windows' own registrar sees it: after `regsvr32` under wine, `reg query` shows
# every class's InprocServer32 with the module's Windows path and its threading model, and the
# audio engine's record of each; `regsvr32 /u` removes the classes and keeps the records, as the
# module's unregistration does everywhere. Run by ctest in the Windows build: BUILD is its folder.
set -euo pipefail
build=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
wine() { "$root/scripts/wine-run.sh" "$@"; }

# The seven classes, written out here rather than read from the code under test.
classes=({CB0EAF7D-3991-4921-AA30-CD32798EDC3A} {1B917FE2-47D1-425D-A26E-AFCDBDA7A2E8}
         {5B98E1AC-A670-4311-B4F8-DC25E30CFBFF} {93520346-FA48-4F56-8CB0-D92CC1775E37}
         {42E82F48-20E9-4B35-962A-4439059670D4} {272B9432-8AFD-4935-84B4-A77CFA09815E}
         {3C8BA013-2AA8-4687-8913-4EA83E269AE8})
# The host's root is drive Z under wine.
module="Z:${build//\//\\}\\qlvapo64.dll"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# reg prints its answer with CR LF line ends.
query() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }

wine regsvr32 /s "$module" || fail "regsvr32 answered $?"
for class in "${classes[@]}"; do
  server=$(query "HKCR\\CLSID\\$class\\InprocServer32" /ve) || fail "$class has no InprocServer32"
  grep -qF "REG_SZ    $module" <<<"$server" || fail "$class's server is not $module: $server"
  model=$(query "HKCR\\CLSID\\$class\\InprocServer32" /v ThreadingModel) || true
  grep -qE 'ThreadingModel +REG_SZ +Both' <<<"$model" || fail "$class's threading model: $model"
  query "HKCR\\AudioEngine\\AudioProcessingObjects\\$class" >/dev/null ||
    fail "$class has no engine record"
done

wine regsvr32 /s /u "$module" || fail "regsvr32 /u answered $?"
for class in "${classes[@]}"; do
  if query "HKCR\\CLSID\\$class" >/dev/null; then fail "$class is still registered"; fi
  query "HKCR\\AudioEngine\\AudioProcessingObjects\\$class" >/dev/null ||
    fail "$class's engine record went with the class"
done

((failures == 0)) || exit 1
echo "regsvr32: ${#classes[@]} classes registered and unregistered"
