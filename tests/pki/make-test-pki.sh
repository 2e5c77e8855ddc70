#!/usr/bin/env bash
# Makes the test PKI with the openssl command-line tool and the GOST engine:
#   root.cer            self-signed root (critical basicConstraints cA, keyUsage first)
#   inter.cer           intermediate CA signed by the root
#   inter-other.cer     a second CA with the intermediate's subject but another key
#   user.cer            end entity with CN, SN, G, INN, SNILS, OGRN, OU twice, policies,
#                       CRL distribution points (HTTP, LDAP), AIA (OCSP first, CA issuers second)
#   revoked.cer         end entity whose serial the CRL lists
#   inter.crl           CRL of the intermediate (PEM), inter.crl.der (DER)
#   selfnoca.cer        self-signed, critical basicConstraints cA=false
#   nocn.cer            self-signed without a common name
#   cyr.cer             Cyrillic names as UTF8String and BMPString
#   bundle.p7b          PKCS#7 (DER) with root, intermediate, user; bundle.pem the same as PEM certificates
#   chain-crl.p7b       PKCS#7 (PEM) with the intermediate and its CRL
#   *.key               PEM PKCS#8 keys; user-enc.p8 (encrypted, password "secret");
#                       user.p12 (password "secret"); k2001.key, k512.key (other GOST keys)
# Usage: make-test-pki.sh OUTDIR [PORT]. Does nothing when OUTDIR/.done exists; concurrent
# callers wait for each other.
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../scripts/gost-openssl.sh"
out=$1
port=${2:-18080}
mkdir -p "$out"
exec 9>"$out.lock"
flock 9
[[ -f "$out/.done" ]] && exit 0
work=$(mktemp -d "$out.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

{
  gost_openssl_head utf8
  cat <<CNF
[v3_root]
keyUsage = critical, keyCertSign, cRLSign
basicConstraints = critical, CA:true
subjectKeyIdentifier = hash
[v3_ca]
keyUsage = critical, keyCertSign, cRLSign
basicConstraints = critical, CA:true
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_user]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment
extendedKeyUsage = clientAuth, emailProtection
certificatePolicies = 1.2.643.100.113.1, 1.2.643.100.113.2
crlDistributionPoints = URI:http://127.0.0.1:$port/inter.crl, URI:ldap://127.0.0.1/cn=Test%20Intermediate?certificateRevocationList
authorityInfoAccess = OCSP;URI:http://127.0.0.1:$port/ocsp, caIssuers;URI:http://127.0.0.1:$port/inter.cer
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_selfnoca]
basicConstraints = critical, CA:false
keyUsage = digitalSignature
[v3_plain]
keyUsage = digitalSignature
[ca]
default_ca = ca_inter
[ca_inter]
database = index.txt
serial = serial.txt
crlnumber = crlnumber.txt
default_md = md_gost12_256
default_crl_days = 30
CNF
} > openssl.cnf
export OPENSSL_CONF=$work/openssl.cnf

key() { openssl genpkey -algorithm "$1" -pkeyopt paramset:"$2" -out "$3" 2>/dev/null; }
key gost2012_256 A root.key
key gost2012_256 A inter.key
key gost2012_256 B inter-other.key
key gost2012_256 A user.key
key gost2012_256 A revoked.key
key gost2012_512 A k512.key
key gost2001 A k2001.key
key gost2012_256 A misc.key

openssl req -new -x509 -key root.key -md_gost12_256 -days 3650 -set_serial 0x01 -extensions v3_root \
  -subj "/C=RU/O=Test PKI/CN=Test Root CA" -out root.pem
openssl req -new -key inter.key -md_gost12_256 -subj "/C=RU/O=Test PKI/CN=Test Intermediate CA" -out inter.csr
openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -md_gost12_256 -days 3000 -set_serial 0x0200 \
  -extfile openssl.cnf -extensions v3_ca -out inter.pem 2>/dev/null
openssl req -new -key inter-other.key -md_gost12_256 -subj "/C=RU/O=Test PKI/CN=Test Intermediate CA" \
  -out inter-other.csr
openssl x509 -req -in inter-other.csr -CA root.pem -CAkey root.key -md_gost12_256 -days 3000 -set_serial 0x0201 \
  -extfile openssl.cnf -extensions v3_ca -out inter-other.pem 2>/dev/null

subj="/C=RU/L=Москва/O=ООО Ромашка/OU=Отдел один/OU=Отдел два/title=Директор/SN=Иванов/GN=Иван Иванович"
subj="$subj/CN=Иванов Иван Иванович/INN=007701234567/SNILS=12345678901/OGRN=1027700132195/emailAddress=ivanov@example.ru"
openssl req -new -key user.key -md_gost12_256 -utf8 -subj "$subj" -out user.csr
openssl x509 -req -in user.csr -CA inter.pem -CAkey inter.key -md_gost12_256 -days 700 -set_serial 0x00A1B2C3D4 \
  -extfile openssl.cnf -extensions v3_user -out user.pem 2>/dev/null
openssl req -new -key revoked.key -md_gost12_256 -subj "/C=RU/CN=Revoked User" -out revoked.csr
openssl x509 -req -in revoked.csr -CA inter.pem -CAkey inter.key -md_gost12_256 -days 700 -set_serial 0x0BAD \
  -extfile openssl.cnf -extensions v3_user -out revoked.pem 2>/dev/null

openssl req -new -x509 -key misc.key -md_gost12_256 -days 365 -set_serial 7 -extensions v3_selfnoca \
  -subj "/C=RU/CN=Self Not CA" -out selfnoca.pem
openssl req -new -x509 -key misc.key -md_gost12_256 -days 365 -set_serial 8 -extensions v3_plain \
  -subj "/C=RU/O=No Common Name/OU=Unit" -out nocn.pem
openssl req -new -x509 -key misc.key -md_gost12_256 -days 365 -set_serial 9 -extensions v3_plain -utf8 \
  -subj "/C=RU/O=Ёлка, \"и\" палка/CN=Пётр Первый" -out cyr-utf8.pem
openssl req -new -x509 -key k512.key -md_gost12_512 -days 365 -set_serial 10 -extensions v3_plain \
  -subj "/C=RU/CN=Key 512" -out k512.pem
openssl req -new -x509 -key k2001.key -md_gost94 -days 365 -set_serial 11 -extensions v3_plain \
  -subj "/C=RU/CN=Key 2001" -out k2001.pem
# BMPString values
sed -i 's/string_mask = utf8only/string_mask = MASK:0x802/' openssl.cnf
openssl req -new -x509 -key misc.key -md_gost12_256 -days 365 -set_serial 12 -extensions v3_plain -utf8 \
  -subj "/C=RU/CN=Сидор Сидоров" -out cyr-bmp.pem
sed -i 's/string_mask = MASK:0x802/string_mask = utf8only/' openssl.cnf

# CRL of the intermediate listing the revoked serial
: > index.txt
echo 01 > crlnumber.txt
echo 1000 > serial.txt
openssl ca -config openssl.cnf -name ca_inter -cert inter.pem -keyfile inter.key -revoke revoked.pem \
  -crl_reason keyCompromise 2>/dev/null
openssl ca -config openssl.cnf -name ca_inter -cert inter.pem -keyfile inter.key -gencrl -out inter.crl 2>/dev/null

for c in root inter inter-other user revoked selfnoca nocn cyr-utf8 cyr-bmp k512 k2001; do
  openssl x509 -in $c.pem -outform DER -out $c.cer
done
openssl crl -in inter.crl -outform DER -out inter.crl.der
openssl pkcs8 -topk8 -in user.key -v2 aes-256-cbc -passout pass:secret -outform DER -out user-enc.p8
openssl pkcs12 -export -inkey user.key -in user.pem -certfile inter.pem -passout pass:secret -out user.p12
openssl crl2pkcs7 -nocrl -certfile root.pem -certfile inter.pem -certfile user.pem -outform DER -out bundle.p7b
openssl crl2pkcs7 -in inter.crl -certfile inter.pem -outform PEM -out chain-crl.p7b
cat root.pem inter.pem user.pem > bundle.pem
cp ./*.p7b ./*.key ./*.pem ./*.cer ./*.crl ./*.crl.der ./*.p8 ./*.p12 "$out/"
touch "$out/.done"
