#!/usr/bin/env bash
# Makes the certificates and CRLs of the certificate checker's tests from the test PKI
# (tests/pki/make-test-pki.sh), all issued by its intermediate CA with the key user.key:
#   full.cer          every name field, policies 1.2.643.100.113.2 and 1.2.643.100.113.1, no CDP
#   nocn.cer nosn.cer nog.cer noinn.cer nosnils.cer
#                     one name field missing each (the others present, policies as full.cer)
#   nopolicy.cer      all names, only the policy 1.2.643.100.113.2
#   nopolicy-nosn.cer no SN and only the policy 1.2.643.100.113.2
#   expired-nocn.cer  valid 2020-2021, no CN; notyet.cer valid from 2090
#   user.csr          the request with every name field (for certificates made by the tests)
#   good.crl          the intermediate's CRL listing serial DEAD only (PEM)
#   listing.crl       the intermediate's CRL listing DEAD and 5EED (DER)
#   forged.crl        a CRL under the intermediate's name signed by inter-other.key, lists DEAD
#   foreign.crl       the root's CRL (another issuer name), empty
# Usage: make-checker-pki.sh PKIDIR OUTDIR. Does nothing when OUTDIR/.done exists.
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../scripts/gost-openssl.sh"
pki=$1
out=$2
mkdir -p "$out"
exec 9>"$out.lock"
flock 9
[[ -f "$out/.done" ]] && exit 0
work=$(mktemp -d "$out.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

{
  gost_openssl_head utf8
  cat <<'CNF'
[ext_user]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
certificatePolicies = 1.2.643.100.113.2, 1.2.643.100.113.1
[ext_nopolicy]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
certificatePolicies = 1.2.643.100.113.2
[policy_any]
[ca_inter]
database = inter-index.txt
serial = inter-serial.txt
crlnumber = inter-crlnumber.txt
new_certs_dir = .
default_md = md_gost12_256
default_crl_days = 30
policy = policy_any
unique_subject = no
[ca_other]
database = other-index.txt
crlnumber = other-crlnumber.txt
unique_subject = no
default_md = md_gost12_256
default_crl_days = 30
[ca_root]
database = root-index.txt
crlnumber = root-crlnumber.txt
unique_subject = no
default_md = md_gost12_256
default_crl_days = 30
CNF
} > openssl.cnf
export OPENSSL_CONF=$work/openssl.cnf
for db in inter other root; do
  : > $db-index.txt
  echo 01 > $db-crlnumber.txt
done

head="/C=RU/L=Москва/O=ООО Ромашка/title=Директор"
cn="/CN=Иванов Иван Иванович"
sn="/SN=Иванов"
gn="/GN=Иван Иванович"
inn="/INN=007701234567"
snils="/SNILS=12345678901"

# issue NAME SUBJECT EXTENSIONS SERIAL [STARTDATE ENDDATE]
issue() {
  local name=$1 subj=$2 ext=$3 serial=$4 start=${5:-} end=${6:-}
  openssl req -new -key "$pki/user.key" -md_gost12_256 -utf8 -subj "$subj" -out "$name.csr"
  echo "$serial" > inter-serial.txt
  local dates=(-days 700)
  [[ -n "$start" ]] && dates=(-startdate "$start" -enddate "$end")
  openssl ca -batch -notext -preserveDN -utf8 -name ca_inter -cert "$pki/inter.pem" -keyfile "$pki/inter.key" \
    -extfile openssl.cnf -extensions "$ext" "${dates[@]}" -in "$name.csr" -out "$name.pem" 2>"$name.log" || { cat "$name.log" >&2; exit 1; }
  openssl x509 -in "$name.pem" -outform DER -out "$name.cer"
}

issue full "$head$sn$gn$cn$inn$snils" ext_user 1001
issue nocn "$head$sn$gn$inn$snils" ext_user 1002
issue nosn "$head$gn$cn$inn$snils" ext_user 1003
issue nog "$head$sn$cn$inn$snils" ext_user 1004
issue noinn "$head$sn$gn$cn$snils" ext_user 1005
issue nosnils "$head$sn$gn$cn$inn" ext_user 1006
issue nopolicy "$head$sn$gn$cn$inn$snils" ext_nopolicy 1007
issue nopolicy-nosn "$head$gn$cn$inn$snils" ext_nopolicy 1008
issue expired-nocn "$head$sn$gn$inn$snils" ext_user 1009 200101000000Z 210101000000Z
issue notyet "$head$sn$gn$cn$inn$snils" ext_user 100A 20900101000000Z 20910101000000Z
# Placeholders for the serials the CRLs list; the tests issue their own 5EED.
issue dead "/C=RU/CN=Dead" ext_user 00DEAD
issue seed "/C=RU/CN=Seed" ext_user 5EED
cp full.csr user.csr

ca_inter=(-name ca_inter -cert "$pki/inter.pem" -keyfile "$pki/inter.key")
openssl ca "${ca_inter[@]}" -revoke dead.pem -crl_reason keyCompromise 2>/dev/null
openssl ca "${ca_inter[@]}" -gencrl -out good.crl 2>/dev/null
openssl ca "${ca_inter[@]}" -revoke seed.pem -crl_reason keyCompromise 2>/dev/null
openssl ca "${ca_inter[@]}" -gencrl -out listing.pem 2>/dev/null
openssl crl -in listing.pem -outform DER -out listing.crl
cp inter-index.txt other-index.txt
openssl ca -name ca_other -cert "$pki/inter-other.pem" -keyfile "$pki/inter-other.key" -gencrl -out forged.crl \
  2>/dev/null
openssl ca -name ca_root -cert "$pki/root.pem" -keyfile "$pki/root.key" -gencrl -out foreign.crl 2>/dev/null
# The forged list must really carry the intermediate's name.
[[ "$(openssl crl -in forged.crl -noout -issuer)" == "$(openssl crl -in good.crl -noout -issuer)" ]]

cp ./*.cer ./*.crl user.csr "$out/"
touch "$out/.done"
