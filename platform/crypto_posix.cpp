// The cryptography seam on OpenSSL's libcrypto (3.x, EVP interfaces only).
#include "platform/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>

struct SysHash {
    EVP_MD_CTX* ctx;
};

SysHash* sysHashBegin() {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx) return nullptr;
    if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        return nullptr;
    }
    return new SysHash{ctx};
}

bool sysHashAdd(SysHash* h, const void* data, size_t n) {
    return h && EVP_DigestUpdate(h->ctx, data, n) == 1;
}

SysHash* sysHashCopy(const SysHash* h) {
    EVP_MD_CTX* ctx = h ? EVP_MD_CTX_new() : nullptr;
    if (!ctx) return nullptr;
    if (EVP_MD_CTX_copy_ex(ctx, h->ctx) != 1) {
        EVP_MD_CTX_free(ctx);
        return nullptr;
    }
    return new SysHash{ctx};
}

bool sysHashEnd(SysHash* h, uint8_t digest[CRYPTO_DIGEST_BYTES]) {
    if (!h) return false;
    unsigned int n = 0;
    bool ok = EVP_DigestFinal_ex(h->ctx, digest, &n) == 1 && n == CRYPTO_DIGEST_BYTES;
    EVP_MD_CTX_free(h->ctx);
    delete h;
    return ok;
}

namespace {

// A P-256 key from raw bytes: the public point, and the scalar when given.
EVP_PKEY* rawKey(const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], const uint8_t* scalar) {
    if (publicKey[0] != 0x04) return nullptr;
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    BIGNUM* d = scalar ? BN_bin2bn(scalar, 32, nullptr) : nullptr;
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* ctx = nullptr;
    EVP_PKEY* key = nullptr;
    if (bld && (!scalar || d) &&
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1 &&
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, publicKey, CRYPTO_PUBLIC_KEY_BYTES) == 1 &&
        (!d || OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, d) == 1) &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr &&
        (ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) {
        if (EVP_PKEY_fromdata(ctx, &key, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) != 1) key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    BN_clear_free(d);
    OSSL_PARAM_BLD_free(bld);
    return key;
}

}  // namespace

bool sysVerifyDigest(const uint8_t publicKey[CRYPTO_PUBLIC_KEY_BYTES], const uint8_t digest[CRYPTO_DIGEST_BYTES],
                     const uint8_t signature[CRYPTO_SIGNATURE_BYTES]) {
    EVP_PKEY* key = rawKey(publicKey, nullptr);
    if (!key) return false;
    // libcrypto takes the DER form of (r, s).
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
    unsigned char* der = nullptr;
    int derLength = -1;
    if (sig && r && s && ECDSA_SIG_set0(sig, r, s) == 1) {
        r = s = nullptr;  // owned by sig now
        derLength = i2d_ECDSA_SIG(sig, &der);
    }
    bool ok = false;
    EVP_PKEY_CTX* ctx = derLength > 0 ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
    if (ctx && EVP_PKEY_verify_init(ctx) == 1)
        ok = EVP_PKEY_verify(ctx, der, static_cast<size_t>(derLength), digest, CRYPTO_DIGEST_BYTES) == 1;
    EVP_PKEY_CTX_free(ctx);
    OPENSSL_free(der);
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    EVP_PKEY_free(key);
    return ok;
}

bool sysSignDigest(const uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES], const uint8_t digest[CRYPTO_DIGEST_BYTES],
                   uint8_t signature[CRYPTO_SIGNATURE_BYTES]) {
    EVP_PKEY* key = rawKey(privateKey, privateKey + CRYPTO_PUBLIC_KEY_BYTES);
    if (!key) return false;
    bool ok = false;
    unsigned char der[128];
    size_t derLength = sizeof der;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    if (ctx && EVP_PKEY_sign_init(ctx) == 1 &&
        EVP_PKEY_sign(ctx, der, &derLength, digest, CRYPTO_DIGEST_BYTES) == 1) {
        const unsigned char* p = der;
        ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLength));
        if (sig) {
            const BIGNUM *r, *s;
            ECDSA_SIG_get0(sig, &r, &s);
            ok = BN_bn2binpad(r, signature, 32) == 32 && BN_bn2binpad(s, signature + 32, 32) == 32;
            ECDSA_SIG_free(sig);
        }
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

bool sysNewKeyPair(uint8_t privateKey[CRYPTO_PRIVATE_KEY_BYTES]) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (!key) return false;
    size_t n = 0;
    BIGNUM* d = nullptr;
    bool ok = EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed") == 1 &&
              EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, privateKey, CRYPTO_PUBLIC_KEY_BYTES,
                                              &n) == 1 &&
              n == CRYPTO_PUBLIC_KEY_BYTES && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1 &&
              BN_bn2binpad(d, privateKey + CRYPTO_PUBLIC_KEY_BYTES, 32) == 32;
    BN_clear_free(d);
    EVP_PKEY_free(key);
    return ok;
}
