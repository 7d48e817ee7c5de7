#pragma once
// The settings record: what "tallyport_settings.json" configures. The client
// secret is always plaintext in memory; only the file holds it encrypted.

#include <cstdint>
#include <string>

struct TranslatorSettings {
    std::string hostname = "localhost";
    std::int32_t port = 30001;
    std::string client_id;
    std::string client_secret;
    bool validate_cert = false;
    std::string log_level = "none";
    std::string log_file_name = "tly_translator.log";
    std::int32_t max_log_size_mb = 10;
    std::int32_t max_log_files = 3;
    bool enable_badge_event_file = false;
    bool plaintext_secret = false;
    std::string cert_thumbprint;
    bool secret_was_plaintext = false;
};
