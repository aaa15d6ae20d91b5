#pragma once
// The web link's TLS identity: an ECDSA P-256 key and a self-signed certificate for this machine's
// name and addresses, kept in the configuration folder (mode 0600) and made anew when missing,
// unreadable or within 30 days of its end. And the QR code that carries the page's address.
#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

struct WebIdentity {
    std::string certificatePem;
    std::string privateKeyPem;
    std::string fingerprint; // SHA-256 of the certificate, "AB:CD:…" as browsers show it
    std::string spkiSha256;  // base64 SHA-256 of the public key, as browsers pin it
    std::chrono::system_clock::time_point notAfter;
    bool created = false; // made by this call rather than read back
};

struct WebIdentityRequest {
    std::filesystem::path folder; // web-certificate.pem and web-key.pem live here
    std::string hostName;
    std::vector<std::string> addresses; // IPv4 or IPv6 literals put into the certificate
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
};

inline constexpr auto kWebCertificateLifetime = std::chrono::days(365);
inline constexpr auto kWebCertificateRenewal = std::chrono::days(30);

std::expected<WebIdentity, std::string> loadOrCreateWebIdentity(const WebIdentityRequest& request);

// A QR code's modules, row by row; true is dark.
struct QrCode {
    int size = 0;
    std::vector<bool> dark;
    bool at(int x, int y) const { return dark[static_cast<std::size_t>(y * size + x)]; }
};
std::optional<QrCode> makeQrCode(std::string_view text);
// Two module rows per text line with half blocks, light modules drawn and a quiet zone of two:
// right for the usual light-on-dark terminal.
std::string qrTerminalText(const QrCode& code);

} // namespace kiv
