// rsa_key.cpp -- RSA public keys from PEM or DER files through OpenSSL's decoders.
#include "tools/orvak/rsa_key.h"

#include "tools/common/file_reason.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <memory>

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Tries one kind of content (public key, or key pair) in any input form.
Pkey decode(const std::string& bytes, int selection) {
  EVP_PKEY* pkey = nullptr;
  OSSL_DECODER_CTX* ctx =
      OSSL_DECODER_CTX_new_for_pkey(&pkey, nullptr, nullptr, "RSA", selection, nullptr, nullptr);
  if (ctx == nullptr) return nullptr;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t length = bytes.size();
  const int ok = OSSL_DECODER_from_data(ctx, &data, &length);
  OSSL_DECODER_CTX_free(ctx);
  if (ok != 1) {
    EVP_PKEY_free(pkey);
    return nullptr;
  }
  return Pkey(pkey);
}

bool bigNumber(EVP_PKEY* pkey, const char* name, std::vector<uint8_t>& out) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return false;
  out.resize(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  BN_free(bn);
  return true;
}

}  // namespace

bool readRsaPublicKey(const std::string& path, RsaPublicKey& key, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const std::string reason = tools::readErrorText(path);
    error = "cannot open key file '" + path + "'" + (reason.empty() ? "" : ": " + reason);
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Pkey pkey = decode(bytes, EVP_PKEY_PUBLIC_KEY);
  if (!pkey) pkey = decode(bytes, EVP_PKEY_KEYPAIR);
  ERR_clear_error();
  if (!pkey) {
    error = "'" + path + "' holds no RSA key in PEM or DER form";
    return false;
  }
  if (!bigNumber(pkey.get(), OSSL_PKEY_PARAM_RSA_N, key.modulus) ||
      !bigNumber(pkey.get(), OSSL_PKEY_PARAM_RSA_E, key.exponent)) {
    error = "cannot take the modulus and exponent from '" + path + "'";
    return false;
  }
  return true;
}
