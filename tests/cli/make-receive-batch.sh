#!/usr/bin/env bash
# The packages of the `receive` tests, made in the sandbox `vorlent demo` leaves behind (its PKI,
# the sender's keys, the receiver's key); its CA certificates and lists go to SANDBOX/www.
#   batch/good1.zip, good2.zip  signed by the applicant, counter-signed by the notary, encrypted
#   batch/changed.zip           the same with the receipt changed after signing
#   batch/revoked.zip           counter-signed by a second notary, whose certificate is revoked
#   batch/damaged.zip           the same as good1 with the encrypted application cut short
#   batch/foreign.zip           signed by a signer under a root nobody trusts (served as foreign-root.cer)
# Usage: make-receive-batch.sh SANDBOX VORLENT
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../scripts/gost-openssl.sh"
sandbox=$(cd "$1" && pwd)
vorlent=$2
pki=$sandbox/pki
base=$(grep -o 'http://127.0.0.1:[0-9]*' "$pki/openssl.cnf" | head -1)
export OPENSSL_CONF=$pki/openssl.cnf

side() {
  local s=$sandbox/$1
  shift
  QELVORLENT_HOME=$s/home QELVORLENT_REGISTRY=$s/registry TMP=$s/tmp QELVORLENT_PIN= "$vorlent" "$@" >/dev/null
}
sha1() { openssl x509 -in "$pki/$1.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }
# mutate ZIP REGEX append|cut: rewrites the member whose name matches REGEX, with a byte appended or
# its last 16 bytes cut off.
mutate() {
  python3 - "$@" <<'PY'
import re, sys, zipfile
path, pattern, how = sys.argv[1:]
with zipfile.ZipFile(path) as z:
    members = [(i, z.read(i.filename)) for i in z.infolist()]
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    for info, data in members:
        if re.fullmatch(pattern, info.filename):
            data = data + b" " if how == "append" else data[:-16]
        z.writestr(info, data)
PY
}

cd "$pki"
# The second notary, and a signer under a root of its own.
for k in notary2 foreign-root foreign; do openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out $k.key; done
openssl req -new -key notary2.key -md_gost12_256 -utf8 -subj "/C=RU/CN=Отозванный нотариус" -out notary2.csr
openssl x509 -req -in notary2.csr -CA inter.pem -CAkey inter.key -md_gost12_256 -days 700 -set_serial 104 \
  -extfile openssl.cnf -extensions v3_user -out notary2.pem 2>/dev/null
openssl req -new -x509 -key foreign-root.key -md_gost12_256 -days 3650 -set_serial 1 -extensions v3_root -utf8 \
  -subj "/C=RU/CN=Чужой корневой УЦ" -out foreign-root.pem
cat >foreign.ext <<EXT
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment
extendedKeyUsage = clientAuth, emailProtection
certificatePolicies = 1.2.643.100.113.1
authorityInfoAccess = caIssuers;URI:$base/foreign-root.cer
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT
openssl req -new -key foreign.key -md_gost12_256 -utf8 -subj "/C=RU/CN=Чужой заявитель" -out foreign.csr
openssl x509 -req -in foreign.csr -CA foreign-root.pem -CAkey foreign-root.key -md_gost12_256 -days 700 \
  -set_serial 7 -extfile foreign.ext -out foreign.pem 2>/dev/null
for c in notary2 foreign-root foreign; do openssl x509 -in $c.pem -outform DER -out $c.cer; done
cp foreign-root.cer "$sandbox/www/"
for k in notary2 foreign; do
  side sender keys import-key $k $k.key
  side sender keys import-cert $k.cer --store uMy --container $k
done

cd "$sandbox"
mkdir -p batch
make_package() { # NAME SIGNER COSIGNER [REGEX append]: the member changed before encryption
  local p=batch/$1.zip
  side sender new $p --transaction ul-reg --sender abonent:2BM-7701234567-770101001 --receiver fns:7746 \
    --add 02:text/xml:documents/заявление.xml --add 01:application/pdf:documents/заявление.pdf \
    --add 04:application/pdf:documents/квитанция.pdf
  side sender sign $p --all --key "$(sha1 "$2")" --role applicant
  side sender cosign $p --all --key "$(sha1 "$3")" --role notary
  [[ $# -lt 4 ]] || mutate $p "$4" append
  side sender encrypt $p --recipient "$(sha1 fns)"
}
make_package good1 applicant notary
make_package good2 applicant notary
make_package changed applicant notary 'GosPoshlina_[0-9a-f]*\.pdf'
make_package revoked applicant notary2
make_package foreign foreign notary
cp batch/good1.zip batch/damaged.zip
mutate batch/damaged.zip 'ZayavULxml_[0-9a-f]*\.xml' cut

# The second notary revoked in the intermediate's list.
cd "$pki"
openssl ca -config openssl.cnf -name ca_inter -cert inter.pem -keyfile inter.key -revoke notary2.pem 2>/dev/null
openssl ca -config openssl.cnf -name ca_inter -cert inter.pem -keyfile inter.key -gencrl -out inter.crl.pem \
  2>/dev/null
openssl crl -in inter.crl.pem -outform DER -out "$sandbox/www/inter.crl"
