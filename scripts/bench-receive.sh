#!/usr/bin/env bash
# The receiving desk rows of `make bench`: a day of BENCH_PACKAGES (200) typical packages (an XML
# application of 20 KB, its printed form of 1 MB, a receipt of 100 KB; signed by the applicant,
# counter-signed by the notary, encrypted for the tax authority), the authority certificates and
# lists served on 127.0.0.1, received three ways, side by side in one run:
#   - `vorlent receive --jobs 2` over the whole day, one process;
#   - `vorlent decrypt`, `verify` and `extract` for each package in a loop;
#   - the peer pipeline a user would write instead, for each package: unzip, curl for both lists
#     (and openssl crl to make them PEM), `openssl cms -decrypt` of each encrypted document and
#     `openssl cms -verify -crl_check_all` of each signature and counter-signature.
# Each row gives packages per second and its ratio to the peer's; the requests the server saw in the
# `receive` run are counted against the distinct URLs. The machine's load is printed with the table.
#
#   scripts/bench-receive.sh [BUILD_DIR]
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/gost-openssl.sh"
dir=$(cd "${1:-build-bench}" && pwd)
vorlent="$dir/tools/vorlent/vorlent"
count=${BENCH_PACKAGES:-200}
work=$(mktemp -d)
server=
trap '[[ -n $server ]] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT

"$vorlent" demo "$work/sandbox" >/dev/null
sandbox=$work/sandbox
pki=$sandbox/pki
base=$(grep -o 'http://127.0.0.1:[0-9]*' "$pki/openssl.cnf" | head -1)
gost_openssl_head >"$work/openssl.cnf"
export OPENSSL_CONF=$work/openssl.cnf
cat "$pki/root.pem" "$pki/inter.pem" >"$work/chain.pem"
side() {
  local s=$sandbox/$1
  shift
  QELVORLENT_HOME=$s/home QELVORLENT_REGISTRY=$s/registry TMP=$s/tmp QELVORLENT_PIN= "$@"
}
sha1() { openssl x509 -in "$pki/$1.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }

# ------------------------------------------------------------------ the day's packages
mkdir -p "$work/docs" "$work/day"
{
  echo '<?xml version="1.0" encoding="UTF-8"?><Заявление>'
  yes '<Сведения ИНН="7701234567" ОГРН="1027700132195">ООО «Ромашка», Москва</Сведения>' | head -c 20000 || true
  echo '</Заявление>'
} >"$work/docs/заявление.xml"
head -c 1000000 /dev/urandom >"$work/docs/заявление.pdf"
head -c 100000 /dev/urandom >"$work/docs/квитанция.pdf"
one=$work/one.zip
side sender "$vorlent" new "$one" --transaction ul-reg --sender abonent:2BM-7701234567-770101001 --receiver fns:7746 \
  --add "02:text/xml:$work/docs/заявление.xml" --add "01:application/pdf:$work/docs/заявление.pdf" \
  --add "04:application/pdf:$work/docs/квитанция.pdf" >/dev/null
side sender "$vorlent" sign "$one" --all --key "$(sha1 applicant)" --role applicant >/dev/null
side sender "$vorlent" cosign "$one" --all --key "$(sha1 notary)" --role notary >/dev/null
side sender "$vorlent" encrypt "$one" --recipient "$(sha1 fns)" >/dev/null
for ((i = 0; i < count; ++i)); do cp "$one" "$work/day/p$(printf %03d $i).zip"; done
# the documents the package keeps encrypted, by their names inside it
encrypted=$(side receiver "$vorlent" show "$one" --json |
  python3 -c 'import json, sys; print(" ".join(d["file"] for d in json.load(sys.stdin)["documents"] if d["encrypted"]))')
signed=$(unzip -Z1 "$one" | grep -v '\.p7s$' | grep -v '^packageDescription\.xml$' | tr '\n' ' ')

# ------------------------------------------------------------------ the server
python3 -m http.server "${base##*:}" --bind 127.0.0.1 --directory "$sandbox/www" >/dev/null 2>"$work/http.log" &
server=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/${base##*:}") 2>/dev/null && break
  sleep 0.05
done

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }

# ------------------------------------------------------------------ the three ways
peer_one() { # peer_one PACKAGE OUT
  local p=$1 out=$2 f
  mkdir -p "$out"
  unzip -q "$p" -d "$out"
  curl -sf -o "$out/inter.crl" "$base/inter.crl"
  curl -sf -o "$out/root.crl" "$base/root.crl"
  {
    cat "$work/chain.pem"
    openssl crl -inform DER -in "$out/inter.crl"
    openssl crl -inform DER -in "$out/root.crl"
  } >"$out/ca.pem"
  for f in $encrypted; do
    openssl cms -decrypt -binary -inform DER -in "$out/$f" -recip "$pki/fns.pem" -inkey "$pki/fns.key" \
      -out "$out/$f.plain"
    mv "$out/$f.plain" "$out/$f"
  done
  for f in $signed; do
    openssl cms -verify -binary -inform DER -in "$out/$f.zayav_1.p7s" -content "$out/$f" -CAfile "$out/ca.pem" \
      -crl_check_all -purpose any -out /dev/null 2>/dev/null
    openssl cms -verify -binary -inform DER -in "$out/$f.zayav_1.p7s.notarius_1.p7s" -content "$out/$f.zayav_1.p7s" \
      -CAfile "$out/ca.pem" -crl_check_all -purpose any -out /dev/null 2>/dev/null
  done
}

start=$(now)
for p in "$work"/day/*.zip; do peer_one "$p" "$work/peer/$(basename "$p" .zip)"; done
peer=$(elapsed "$start")

rm -rf "$work/loop" && cp -r "$work/day" "$work/loop" && sync
start=$(now)
for p in "$work"/loop/*.zip; do
  side receiver "$vorlent" decrypt "$p" >/dev/null
  side receiver "$vorlent" verify "$p" >/dev/null
  side receiver "$vorlent" extract "$p" -d "$work/loop-out/$(basename "$p" .zip)" >/dev/null
done
loop=$(elapsed "$start")

before=$(grep -c '"GET ' "$work/http.log" || true)
start=$(now)
side receiver /usr/bin/time -f '%M' -o "$work/receive.mem" "$vorlent" receive "$work"/day/*.zip -d "$work/received" \
  --jobs 2 >"$work/receive.out" 2>"$work/receive.err" || echo "receive failed: $(head -3 "$work/receive.out")" >&2
batch=$(elapsed "$start")
requests=$(($(grep -c '"GET ' "$work/http.log") - before))
urls=$(tail -n +$((before + 1)) "$work/http.log" | grep -o '"GET [^ ]*' | sort -u | wc -l)
received=$(grep -c ': принят в ' "$work/receive.out" || true)

# ------------------------------------------------------------------ the table
printf '\n%-44s %9s %10s %7s %8s  %s\n' "receiving $count packages" "time, s" "pkg/s" ratio target ""
row() { # NAME SECONDS TARGET
  awk -v n="$1" -v s="$2" -v p="$peer" -v c="$count" -v t="$3" 'BEGIN {
      r = (s > 0) ? p / s : 0
      printf "%-44s %9.2f %10.1f %7.2f %8s  %s\n", n, s, c / s, r, (t == "-" ? "-" : ">= " t),
        (t == "-" ? "" : (r >= t ? "ok" : "MISSED"))
    }'
}
row "peer: unzip, curl, openssl cms (per package)" "$peer" -
row "vorlent decrypt, verify, extract (loop)" "$loop" 1.2
row "vorlent receive --jobs 2" "$batch" 2.5
printf '%-44s %9s %10s  %s\n' "receive: packages received" "$received" "of $count" \
  "$( ((received == count)) && echo ok || echo MISSED)"
printf '%-44s %9s %10s  %s\n' "receive: requests / distinct URLs" "$requests" "$urls" \
  "$( ((requests == urls)) && echo ok || echo MISSED)"
printf '%-44s %9s\n' "receive: peak memory, MiB" "$(($(cat "$work/receive.mem") / 1024))"
printf '%-44s %s (%s processors)\n' "load average (1, 5, 15 min)" "$(cut -d' ' -f1-3 /proc/loadavg)" "$(nproc)"
