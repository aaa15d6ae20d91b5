#include "KivHostCore/Linux/WebIdentity.hpp"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <fstream>
#include <memory>
#include <qrencode.h>
#include <sstream>

namespace kiv {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written beside the target and renamed over it, created 0600 so the key is never readable by others.
bool writePrivate(const std::filesystem::path& path, const std::string& text) {
    const auto temporary = path.string() + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::fchmod(fd, 0600);
    std::size_t done = 0;
    while (done < text.size()) {
        const auto n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced && ::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string pemOf(int (*write)(BIO*, void*), void* object) {
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get(), object) != 1) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return {data, static_cast<std::size_t>(length)};
}

std::string hexFingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
    std::string text;
    for (unsigned int i = 0; i < length; ++i)
        text += fmt::format("{}{:02X}", i ? ":" : "", digest[i]);
    return text;
}

std::string spkiHash(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(certificate), &der);
    if (length <= 0) return {};
    unsigned char digest[32];
    unsigned int digestLength = 0;
    EVP_Digest(der, static_cast<std::size_t>(length), digest, &digestLength, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    unsigned char encoded[64];
    const int written = EVP_EncodeBlock(encoded, digest, static_cast<int>(digestLength));
    return {reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(written)};
}

std::optional<std::chrono::system_clock::time_point> endOf(X509* certificate) {
    struct tm end {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &end) != 1) return std::nullopt;
    return std::chrono::system_clock::from_time_t(timegm(&end));
}

std::optional<WebIdentity> describe(const std::string& certificatePem, const std::string& keyPem) {
    const BioPtr certBio(BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
    const BioPtr keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
    const CertPtr certificate(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    const KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!certificate || !key || X509_check_private_key(certificate.get(), key.get()) != 1) return std::nullopt;
    const auto end = endOf(certificate.get());
    if (!end) return std::nullopt;
    WebIdentity identity;
    identity.certificatePem = certificatePem;
    identity.privateKeyPem = keyPem;
    identity.fingerprint = hexFingerprint(certificate.get());
    identity.spkiSha256 = spkiHash(certificate.get());
    identity.notAfter = *end;
    return identity;
}

bool addExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A DNS name for the certificate: letters, digits, dots and hyphens only.
std::string dnsName(const std::string& name) {
    std::string out;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') out += c;
    }
    return out;
}

std::expected<std::pair<std::string, std::string>, std::string> makeCertificate(const WebIdentityRequest& request) {
    const KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) return std::unexpected(std::string("cannot make a P-256 key"));
    const CertPtr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return std::unexpected(std::string("no random serial"));
    serial[0] &= 0x7F;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    const auto start = std::chrono::system_clock::to_time_t(request.now - std::chrono::hours(1));
    const auto end = std::chrono::system_clock::to_time_t(request.now + kWebCertificateLifetime);
    ASN1_TIME_set(X509_getm_notBefore(certificate.get()), start);
    ASN1_TIME_set(X509_getm_notAfter(certificate.get()), end);
    X509_set_pubkey(certificate.get(), key.get());
    const auto host = dnsName(request.hostName).empty() ? std::string("kivdisplay") : dnsName(request.hostName);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const auto common = "KivDisplay " + host;
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    std::string names = fmt::format("DNS:{},DNS:{}.local,DNS:localhost,IP:127.0.0.1,IP:::1", host, host);
    for (const auto& address : request.addresses) {
        if (address.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos && !address.empty())
            names += ",IP:" + address;
    }
    if (!addExtension(certificate.get(), NID_subject_alt_name, names) ||
        !addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature") ||
        !addExtension(certificate.get(), NID_ext_key_usage, "serverAuth"))
        return std::unexpected(std::string("cannot describe the certificate's names"));
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0)
        return std::unexpected(std::string("cannot sign the certificate"));
    auto certificatePem =
        pemOf([](BIO* bio, void* x) { return PEM_write_bio_X509(bio, static_cast<X509*>(x)); }, certificate.get());
    auto keyPem = pemOf(
        [](BIO* bio, void* k) {
            return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0, nullptr, nullptr);
        },
        key.get());
    if (certificatePem.empty() || keyPem.empty()) return std::unexpected(std::string("cannot write the certificate"));
    return std::pair{std::move(certificatePem), std::move(keyPem)};
}

} // namespace

std::expected<WebIdentity, std::string> loadOrCreateWebIdentity(const WebIdentityRequest& request) {
    const auto certificatePath = request.folder / "web-certificate.pem";
    const auto keyPath = request.folder / "web-key.pem";
    std::error_code ignored;
    if (std::filesystem::exists(certificatePath, ignored) && std::filesystem::exists(keyPath, ignored)) {
        if (auto identity = describe(readAll(certificatePath), readAll(keyPath))) {
            if (identity->notAfter - request.now > kWebCertificateRenewal) {
                // Tighten a key file someone loosened.
                ::chmod(keyPath.c_str(), 0600);
                return *identity;
            }
        }
    }
    auto made = makeCertificate(request);
    if (!made) return std::unexpected(made.error());
    std::filesystem::create_directories(request.folder, ignored);
    if (!writePrivate(keyPath, made->second) || !writePrivate(certificatePath, made->first))
        return std::unexpected(fmt::format("cannot write the web certificate into {}", request.folder.string()));
    auto identity = describe(made->first, made->second);
    if (!identity) return std::unexpected(std::string("the new certificate does not read back"));
    identity->created = true;
    return *identity;
}

std::optional<QrCode> makeQrCode(std::string_view text) {
    const std::string copy(text);
    QRcode* raw = QRcode_encodeString(copy.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!raw) return std::nullopt;
    QrCode code;
    code.size = raw->width;
    code.dark.resize(static_cast<std::size_t>(raw->width * raw->width));
    for (std::size_t i = 0; i < code.dark.size(); ++i)
        code.dark[i] = (raw->data[i] & 1) != 0;
    QRcode_free(raw);
    return code;
}

std::string qrTerminalText(const QrCode& code) {
    constexpr int quiet = 2;
    const int size = code.size + 2 * quiet;
    const auto light = [&](int x, int y) {
        x -= quiet;
        y -= quiet;
        return x < 0 || y < 0 || x >= code.size || y >= code.size || !code.at(x, y);
    };
    std::string out;
    for (int y = 0; y < size; y += 2) {
        for (int x = 0; x < size; ++x) {
            const bool top = light(x, y);
            const bool bottom = y + 1 < size ? light(x, y + 1) : false;
            out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
        }
        out += '\n';
    }
    return out;
}

} // namespace kiv
