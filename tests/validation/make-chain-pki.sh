#!/usr/bin/env bash
# Makes a small PKI for chain tests with the openssl tool and the GOST engine; every URL in the
# certificates points at http://127.0.0.1:PORT/.
#   root.cer          self-signed root "Chain Root CA" (valid from 30 days ago)
#   inter.cer         "Chain Intermediate CA" issued by the root; CRL at /root.crl, issuer at /root.cer
#   rogue-root.cer    a self-signed root with the root's name and another key
#   inter-forged.cer  a certificate with the intermediate's name and another key, issued by the rogue root
#   user.cer          "Chain User" issued by the intermediate (valid from 10 days ago); CRL at /inter.crl,
#                     issuer at /inter.cer
#   revoked.cer       "Chain Revoked", the same, revoked 5 days ago
#   forged-user.cer   "Forged User" with the intermediate's name as issuer, signed by the forged key;
#                     issuer at /inter-forged.cer
#   self.cer          "Self Signer", self-signed
#   inter.crl         the intermediate's CRL (listing revoked.cer), next update in 30 days
#   inter-expired.crl the intermediate's CRL with its next update 3 days ago
#   inter-forged.crl  a CRL with the intermediate's name signed by the forged key
#   root.crl          the root's CRL (empty)
#   *.key, *.pem      keys and PEM certificates for signing with openssl
# Usage: make-chain-pki.sh OUTDIR PORT
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
keyUsage = critical, digitalSignature, nonRepudiation
crlDistributionPoints = URI:$base/inter.crl
authorityInfoAccess = caIssuers;URI:$base/inter.cer
[v3_forged]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
crlDistributionPoints = URI:$base/inter.crl
authorityInfoAccess = caIssuers;URI:$base/inter-forged.cer
[v3_self]
keyUsage = digitalSignature
CNF
  gost_ca_sections root rogue inter forged
} > openssl.cnf
export OPENSSL_CONF=$PWD/openssl.cnf
gost_ca_init root rogue inter forged

for k in root rogue inter forged user revoked forged-user self; do
  openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out $k.key 2>/dev/null
done
gost_issue ca_root root.key - root "/C=RU/O=Chain PKI/CN=Chain Root CA" v3_root '-30 days' '+3650 days'
gost_issue ca_rogue rogue.key - rogue "/C=RU/O=Chain PKI/CN=Chain Root CA" v3_root '-30 days' '+3650 days'
mv rogue.pem rogue-root.pem; mv rogue.cer rogue-root.cer
gost_issue ca_root root.key root.pem inter "/C=RU/O=Chain PKI/CN=Chain Intermediate CA" v3_inter \
  '-20 days' '+3000 days'
gost_issue ca_rogue rogue.key rogue-root.pem forged "/C=RU/O=Chain PKI/CN=Chain Intermediate CA" v3_inter \
  '-20 days' '+3000 days'
mv forged.pem inter-forged.pem; mv forged.cer inter-forged.cer
gost_issue ca_inter inter.key inter.pem user "/C=RU/CN=Chain User" v3_user '-10 days' '+365 days'
gost_issue ca_inter inter.key inter.pem revoked "/C=RU/CN=Chain Revoked" v3_user '-10 days' '+365 days'
gost_issue ca_forged forged.key inter-forged.pem forged-user "/C=RU/CN=Forged User" v3_forged '-10 days' '+365 days'
openssl req -new -x509 -key self.key -md_gost12_256 -days 365 -subj "/C=RU/CN=Self Signer" -extensions v3_self \
  -out self.pem
openssl x509 -in self.pem -outform DER -out self.cer

# The revoked certificate's revocation date, 5 days ago, written into the database.
serial=$(openssl x509 -in revoked.pem -noout -serial | cut -d= -f2)
revoked_at=$(date -u -d '-5 days' +%y%m%d%H%M%SZ)
awk -v s="$serial" -v r="$revoked_at" 'BEGIN{FS=OFS="\t"} $4==s {$1="R"; $3=r} {print}' inter-index.txt > t.txt
mv t.txt inter-index.txt

gost_crl ca_inter inter.key inter.pem inter.crl '-1 day' '+30 days'
gost_crl ca_inter inter.key inter.pem inter-expired.crl '-10 days' '-3 days'
gost_crl ca_forged forged.key inter-forged.pem inter-forged.crl '-1 hour' '+30 days'
gost_crl ca_root root.key root.pem root.crl '-1 day' '+30 days'
