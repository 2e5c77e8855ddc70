#!/usr/bin/env bash
# Makes the PKI of the package cryptography tests with the openssl tool and the GOST engine;
# every URL in the certificates points at http://127.0.0.1:PORT/.
#   root.cer       self-signed "Package Root CA" (to be installed in "ROOT")
#   inter.cer      "Package Intermediate CA" issued by the root; CRL at /root.crl, issuer at /root.cer
#   applicant, notary, notary2, tax, other (.key, .pem, .cer): end certificates issued by the
#                  intermediate (CRL at /inter.crl, issuer at /inter.cer); GOST R 34.10-2012 256
#   inter.crl, root.crl  current lists, empty
# Usage: make-package-pki.sh OUTDIR PORT
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../scripts/gost-openssl.sh"
out=$1
port=$2
mkdir -p "$out"
cd "$out"
base="http://127.0.0.1:$port"

{
  gost_openssl_head
  cat <<CNF
[v3_root]
keyUsage = critical, keyCertSign, cRLSign
basicConstraints = critical, CA:true
subjectKeyIdentifier = hash
[v3_inter]
keyUsage = critical, keyCertSign, cRLSign
basicConstraints = critical, CA:true
crlDistributionPoints = URI:$base/root.crl
authorityInfoAccess = caIssuers;URI:$base/root.cer
[v3_user]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment, keyAgreement
crlDistributionPoints = URI:$base/inter.crl
authorityInfoAccess = caIssuers;URI:$base/inter.cer
CNF
  gost_ca_sections root inter
} > openssl.cnf
export OPENSSL_CONF=$PWD/openssl.cnf
gost_ca_init root inter

for k in root inter applicant notary notary2 tax other; do
  openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out $k.key 2>/dev/null
done
gost_issue ca_root root.key - root "/C=RU/O=Package PKI/CN=Package Root CA" v3_root '-30 days' '+3650 days'
gost_issue ca_root root.key root.pem inter "/C=RU/O=Package PKI/CN=Package Intermediate CA" v3_inter '-20 days' \
  '+3000 days'
user() {
  gost_issue ca_inter inter.key inter.pem $1 "$2" v3_user '-10 days' '+365 days'
}
user applicant "/C=RU/SN=Ivanov/GN=Ivan Ivanovich/CN=Ivanov Ivan Ivanovich"
user notary "/C=RU/SN=Petrov/GN=Petr/CN=Notary Petrov"
user notary2 "/C=RU/SN=Sidorov/GN=Sidor/CN=Notary Sidorov"
user tax "/C=RU/O=Tax Authority/CN=Tax Authority"
user other "/C=RU/CN=Other Signer"

gost_crl ca_inter inter.key inter.pem inter.crl '-1 day' '+30 days'
gost_crl ca_root root.key root.pem root.crl '-1 day' '+30 days'
