#!/usr/bin/env bash
# The command line's cryptographic rows of `make bench`: sign, cosign, sign-file, verify,
# check-signature, encrypt and decrypt of `vorlent` against `openssl cms` on the same
# generated documents, and the flow's throughput with 2 threads against 1. Whole processes,
# median wall time of BENCH_RUNS runs (3) and the largest peak resident memory, each row with
# its ratio and target, and its bound of memory.
#
#   scripts/bench-crypto-cli.sh [BUILD_DIR]     (BENCH_LARGE=1 adds the 1 GiB rows and the
#                                                time of each at 1 GiB against 100 MiB)
#
# Inputs, made once and shared with the other command-line rows: BENCH_CLI_DATA (default
# BUILD_DIR/bench-data/cli)/random-100M.bin and text-100M.txt (random bytes, text lines),
# and random-1G.bin with BENCH_LARGE=1. Keys and certificates come from `vorlent demo`.
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/gost-openssl.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "${1:-build-bench}" && pwd)
vorlent="$dir/tools/vorlent/vorlent"
data=${BENCH_CLI_DATA:-$dir/bench-data/cli}
runs=${BENCH_RUNS:-3}
mkdir -p "$data"
data=$(cd "$data" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ------------------------------------------------------------------ inputs and keys
make_inputs() {
  [[ -s "$data/random-100M.bin" ]] || head -c 100M /dev/urandom >"$data/random-100M.bin"
  [[ -s "$data/text-100M.txt" ]] ||
    { yes 'Общество с ограниченной ответственностью «Ромашка», ИНН 7701234567, заявление Р11001' || :; } |
    head -c 100M >"$data/text-100M.txt"
  if [[ -n "${BENCH_LARGE:-}" && ! -s "$data/random-1G.bin" ]]; then
    head -c 1G /dev/urandom >"$data/random-1G.bin"
  fi
}

make_keys() {
  "$vorlent" demo "$work/sandbox" >/dev/null
  pki="$work/sandbox/pki"
  gost_openssl_head >"$work/openssl.cnf"
  cat "$pki/root.pem" "$pki/inter.pem" >"$work/chain.pem"
  mapfile -t sender < <(side sender)
  mapfile -t receiver < <(side receiver)
  peer=(env "OPENSSL_CONF=$work/openssl.cnf" openssl)
  applicant=$(openssl x509 -in "$pki/applicant.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
  notary=$(openssl x509 -in "$pki/notary.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
}

# side NAME: the command line of vorlent as the sender or the receiver of the demo.
side() {
  local s="$work/sandbox/$1"
  printf '%s\n' env "QELVORLENT_HOME=$s/home" "QELVORLENT_REGISTRY=$s/registry" "TMP=$s/tmp" QELVORLENT_PIN= \
    "$vorlent"
}

# ------------------------------------------------------------------ measuring
# measure PREPARE COMMAND...: runs PREPARE (untimed, may be :) then COMMAND, BENCH_RUNS times;
# prints "median-seconds peak-kB".
measure() {
  local prepare=$1
  shift
  local times=() peak=0 i line
  for ((i = 0; i < runs; ++i)); do
    eval "$prepare"
    sync  # the copy a row prepares is on disk before the timed run, not written back during it
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" ||
      { echo "failed: $* ($(head -c 300 "$work/err"))" >&2; echo "0 0"; return 0; }
    line=$(tail -1 "$work/time")
    times+=("${line% *}")
    ((${line#* } > peak)) && peak=${line#* }
  done
  printf '%s %s\n' "$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")" "$peak"
}

# measure_peer peer_sign|peer_verify INPUT: measure of that openssl command line.
measure_peer() {
  local command
  mapfile -t command < <("$@")
  measure : "${command[@]}"
}

# row NAME TARGET MEMORY OURS PEER: one line of the table from two measure results; the ratio
# is of the wall times, the peaks are in MiB. MEMORY names the bound of our peak: "package"
# (twice the document and 32 MiB), "file" (32 MiB whatever the size) or "peer" (0.6 of the
# peer's peak and within "package").
declare -A ours_time=()
row() {
  local name=$1 target=$2 memory=$3 ours=($4) theirs=($5)
  ours_time["$name"]=${ours[0]}
  awk -v n="$name" -v t="$target" -v o="${ours[0]}" -v om="${ours[1]}" -v p="${theirs[0]}" \
    -v pm="${theirs[1]}" -v kind="$memory" -v doc="$doc" 'BEGIN {
      r = (p > 0) ? o / p : 0
      om /= 1024; pm /= 1024
      bound = (kind == "file") ? 32 : 2 * doc + 32
      if (kind == "peer" && 0.6 * pm < bound) bound = 0.6 * pm
      printf "%-34s %8.2f %8.0f %8.2f %8.0f %7.2f %8s %6.0f  %s %s\n", n, o, om, p, pm, r, "<= " t, bound,
        (r <= t ? "ok" : "MISSED"), (om <= bound ? "mem ok" : "mem MISSED")
    }'
}

# ------------------------------------------------------------------ rows
# Each row_* takes the input file and its label.
package_of() {  # package_of INPUT OUT.zip: a package of one stored document
  "${sender[@]}" new "$2" --transaction ul-reg --sender abonent:2BM-7701234567-770101001 \
    --receiver fns:7746 --add "01:application/octet-stream:$1" --force >/dev/null
}

# peer_sign INPUT, peer_verify INPUT: the command lines of openssl.
peer_sign() {
  printf '%s\n' "${peer[@]}" cms -sign -binary -nosmimecap -md md_gost12_256 -in "$1" \
    -signer "$pki/applicant.pem" -inkey "$pki/applicant.key" -outform DER -out "$work/peer.p7s"
}
peer_verify() {
  printf '%s\n' "${peer[@]}" cms -verify -binary -inform DER -in "$work/peer.p7s" -content "$1" \
    -CAfile "$work/chain.pem" -purpose any -out /dev/null
}

# signing_row COMMAND FROM.zip TO.zip KEY ROLE INPUT LABEL: COMMAND (sign or cosign) --all on a
# copy of FROM against openssl signing INPUT; the signed package is kept as TO.
signing_row() {
  # counter-signing carries a large stored document over as it lies: at 1 GiB, a quarter of signing it
  local target=1.05
  [[ $1 == cosign && $7 == "1 GiB"* ]] && target=0.25
  row "$1 --all ($7)" "$target" package \
    "$(measure "cp '$2' '$work/p.zip'" "${sender[@]}" "$1" "$work/p.zip" --all --key "$4" --role "$5")" \
    "$(measure_peer peer_sign "$6")"
  cp "$work/p.zip" "$3"
}

row_sign() {
  package_of "$1" "$work/plain.zip"
  signing_row sign "$work/plain.zip" "$work/signed.zip" "$applicant" applicant "$1" "$2"
}

row_cosign() {
  signing_row cosign "$work/signed.zip" "$work/cosigned.zip" "$notary" notary "$1" "$2"
}

row_sign_file() {
  row "sign-file ($2)" 1.05 file \
    "$(measure : "${sender[@]}" sign-file "$1" --key "$applicant" -o "$work/file.p7s")" \
    "$(measure_peer peer_sign "$1")"
}

row_verify() {
  row "verify --offline ($2)" 1.05 package \
    "$(measure : "${receiver[@]}" verify "$work/cosigned.zip" --offline --no-crl)" \
    "$(measure_peer peer_verify "$1")"
}

row_check_signature() {
  row "check-signature ($2)" 1.05 file \
    "$(measure : "${receiver[@]}" check-signature "$1" "$work/file.p7s" --offline --no-crl)" \
    "$(measure_peer peer_verify "$1")"
}

row_encrypt() {
  row "encrypt --cert ($2)" 1.0 package \
    "$(measure "cp '$work/cosigned.zip' '$work/p.zip'" "${sender[@]}" encrypt "$work/p.zip" \
      --cert "$pki/fns.pem")" \
    "$(measure : "${peer[@]}" cms -encrypt -binary -gost89 -in "$1" -outform DER -out "$work/peer.cms" \
      "$pki/fns.pem")"
  cp "$work/p.zip" "$work/encrypted.zip"
}

row_decrypt() {
  row "decrypt ($2)" 1.0 peer \
    "$(measure "cp '$work/encrypted.zip' '$work/p.zip'" "${receiver[@]}" decrypt "$work/p.zip")" \
    "$(measure : "${peer[@]}" cms -decrypt -binary -inform DER -in "$work/peer.cms" -recip "$pki/fns.pem" \
      -inkey "$pki/fns.key" -out /dev/null)"
}

# A package of three documents of 32 MiB each (slices of the random input), signed and then
# verified on 2 processors, against openssl signing (verifying) the three one after another:
# the documents are digested on several threads.
row_three_documents() {
  local i peer_sign_three="" peer_verify_three="" cpus=()
  ((${#doc_parts[@]})) || return 0
  [[ $(nproc) -gt 2 ]] && command -v taskset >/dev/null && cpus=(taskset -c 0,1)
  "${sender[@]}" new "$work/three-plain.zip" --transaction ul-reg --sender abonent:2BM-7701234567-770101001 \
    --receiver fns:7746 --add "01:application/octet-stream:${doc_parts[0]}" \
    --add "02:application/octet-stream:${doc_parts[1]}" --add "03:application/octet-stream:${doc_parts[2]}" \
    --force >/dev/null
  for i in 0 1 2; do
    peer_sign_three+="$(printf '%q ' "${peer[@]}") cms -sign -binary -nosmimecap -md md_gost12_256 -in '${doc_parts[$i]}'"
    peer_sign_three+=" -signer '$pki/applicant.pem' -inkey '$pki/applicant.key' -outform DER -out '$work/three-$i.p7s' && "
    peer_verify_three+="$(printf '%q ' "${peer[@]}") cms -verify -binary -inform DER -in '$work/three-$i.p7s'"
    peer_verify_three+=" -content '${doc_parts[$i]}' -CAfile '$work/chain.pem' -purpose any -out /dev/null && "
  done
  doc=96
  row "sign --all (3 x 32 MiB, 2 CPUs)" 0.6 package \
    "$(measure "cp '$work/three-plain.zip' '$work/three.zip'" "${cpus[@]}" "${sender[@]}" sign "$work/three.zip" \
      --all --key "$applicant" --role applicant)" \
    "$(measure : "${cpus[@]}" bash -c "${peer_sign_three}true")"
  row "verify --offline (3 x 32 MiB, 2 CPUs)" 0.6 package \
    "$(measure : "${cpus[@]}" "${receiver[@]}" verify "$work/three.zip" --offline --no-crl)" \
    "$(measure : "${cpus[@]}" bash -c "${peer_verify_three}true")"
}

# The whole flow (new, add, sign, counter-sign, encrypt, save, open, decrypt, verify) in one
# process, FLOW_ROUNDS rounds per thread, with 1 and with 2 threads: the throughput ratio.
row_flow_threads() {
  local test="$dir/tests/automation/test_automation" rounds=${FLOW_ROUNDS:-50}
  [[ -x "$test" ]] || { echo "flow throughput: $test is not built" >&2; return 0; }
  local one two
  one=$(measure : env QV_STRESS_THREADS=1 QV_STRESS_ROUNDS="$rounds" "$test" --gtest_filter='ThreadStress.*')
  two=$(measure : env QV_STRESS_THREADS=2 QV_STRESS_ROUNDS="$rounds" "$test" --gtest_filter='ThreadStress.*')
  awk -v a="${one% *}" -v b="${two% *}" 'BEGIN {
      r = (b > 0) ? 2 * a / b : 0
      printf "%-34s %8.2f %8s %8.2f %8s %7.2f %8s %6s  %s\n", "flow, 2 threads / 1 thread", b, "", a, "", r,
        ">= 1.8", "", (r >= 1.8 ? "ok" : "MISSED")
    }'
}

crypto_rows() {  # crypto_rows INPUT LABEL
  doc=$(($(stat -c %s "$1") >> 20))  # MiB, for the bounds of memory
  row_sign "$1" "$2"
  row_cosign "$1" "$2"
  row_sign_file "$1" "$2"
  row_verify "$1" "$2"
  row_check_signature "$1" "$2"
  row_encrypt "$1" "$2"
  row_decrypt "$1" "$2"
}

make_inputs
make_keys
doc_parts=()
for i in 0 1 2; do
  doc_parts+=("$work/part-$i.bin")
  dd if="$data/random-100M.bin" of="$work/part-$i.bin" bs=1M skip=$((i * 32)) count=32 status=none
done
printf '\n%-34s %8s %8s %8s %8s %7s %8s %6s\n' "command (input)" "ours, s" "MiB" "peer, s" "MiB" ratio target \
  "bound"
crypto_rows "$data/random-100M.bin" "100 MiB random"
crypto_rows "$data/text-100M.txt" "100 MiB text"
row_three_documents
row_flow_threads
if [[ -n "${BENCH_LARGE:-}" ]]; then
  crypto_rows "$data/random-1G.bin" "1 GiB random"
  # Scale: each command's time at 1 GiB against its time at 100 MiB, at most 11 times.
  printf '\n%-34s %8s %8s\n' "command (1 GiB / 100 MiB random)" factor target
  for name in "${!ours_time[@]}"; do
    [[ $name == *"(1 GiB random)" ]] || continue
    awk -v n="${name% (*}" -v a="${ours_time[${name/1 GiB/100 MiB}]:-0}" -v b="${ours_time[$name]}" 'BEGIN {
        f = (a > 0) ? b / a : 0
        printf "%-34s %8.2f %8s %s\n", n, f, "<= 11", (f > 0 && f <= 11 ? "ok" : "MISSED")
      }'
  done
fi
