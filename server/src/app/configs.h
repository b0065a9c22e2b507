// What each part of the server is configured with, made from the settings: one
// function per part, so that main reads no setting itself. The settings have passed
// their own checks and check_together (settings.h), so the builders that only copy
// cannot fail; those that read files (key files, templates, the relay's password,
// the TLS pair) return false with the reason, naming the setting or the file.
//
// Called from main's thread (read_tls_files and update_signing again on SIGHUP); no
// state of their own.
#pragma once

#include "app/routes.h"
#include "app/settings.h"
#include "base/device_cookie.h"
#include "base/log.h"
#include "base/password_screen.h"
#include "http/engine.h"
#include "mail/mail.h"
#include "mail/mail_sender.h"
#include "mail/smtp.h"
#include "ops/admin.h"
#include "ops/update_signature.h"
#include "protocol/commands.h"
#include "store/event_log.h"
#include "store/store.h"
#include "web/recovery.h"
#include "web/recovery_mail.h"

#include <optional>
#include <string>

namespace server {

LogFormat log_format(const Settings& s);
// The IANA time zone of mails and text log lines.
std::string time_zone(const Settings& s);

// The public listener; its TLS pair is read by read_tls_files.
EngineConfig engine_config(const Settings& s);
// The admin listener's engine: a loop of its own and a few connections, plain HTTP;
// nothing without admin-listen.
std::optional<EngineConfig> admin_engine_config(const Settings& s);

// The download listener's engine: plain HTTP, one loop, GETs only; nothing
// without download-listen.
std::optional<EngineConfig> download_engine_config(const Settings& s);

// The files of the certificate chain and its key; both empty: plain HTTP.
struct TlsFiles {
    std::string cert;
    std::string key;
};
TlsFiles tls_files(const Settings& s);
// Their PEM text, read now (nothing for plain HTTP).
bool read_tls_files(const TlsFiles& files, std::string& cert_pem, std::string& key_pem,
                    std::string& error);

// The TLS pair read into `config` and loaded as the engine will load it (the chain,
// the key that is its own, valid now), and the ticket key file read: what a start
// checks before it listens. Plain HTTP: nothing to read.
bool tls_config(const Settings& s, EngineConfig& config, std::string& error);

// The store's connection and challenges, without keys.
StoreConfig store_config(const Settings& s);
// The same with the keyring of the secret key files.
bool keyed_store_config(const Settings& s, StoreConfig& out, std::string& error);
// The store's start-up notices (StoreConfig::notice) to the log at their level.
void log_store_notice(const std::string& line);
// The database as the log may show it: a URI without its user and password.
std::string database_for_log(const Settings& s);

// The operator's commands: the store (one connection, keys loaded) and the links.
bool admin_config(const Settings& s, AdminConfig& out, std::string& error);

Limits limits_config(const Settings& s);
Timing timing_config(const Settings& s);
// Users reach the service over HTTPS when this server has a certificate, or the
// public URL is https (a proxy's TLS in front): then cookies say Secure.
RecoveryConfig recovery_config(const Settings& s);
// The device key read from its file (none: a random key of this process).
bool device_cookie_config(const Settings& s, DeviceCookieConfig& out, std::string& error);

// The security event record: its key read from its file, the instance's name.
bool event_log_config(const Settings& s, EventLogConfig& out, std::string& error);

// The screen of new passwords (not yet loaded).
PasswordScreenConfig password_screen_config(const Settings& s);

// Where the update file is (host/path, as the status record names it): the setting,
// or HOST:PORT/download/Tarnix.exe of the listener that serves the downloads (the
// download listener, else the public one) on `download_port`, the port it took.
std::string update_location(const Settings& s, int download_port);
// The status record's texts in GBK, with the update location on `download_port`.
StatusTexts status_texts(const Settings& s, int download_port);

RolloutConfig rollout_config(const Settings& s, int download_port);
// The update file and where its signature comes from.
UpdateSigning update_signing(const Settings& s);
// The routes' own settings (the exempt addresses); main adds what it serves.
Routes routes_config(const Settings& s);

// Where mail goes and what it says. Exactly one of `outbox` and `smtp` is set.
struct MailConfig {
    std::string outbox;             // the file transport's file
    std::optional<SmtpConfig> smtp; // the relay, its password read
    CodeMailing codes;              // without its transport, which main makes
    NoticeMailing notices;          // likewise
    SenderConfig sender;
};
// Reads the templates and the relay's password; false with the reason when one
// cannot be read or parsed, or the sender's address is not one.
bool mail_config(const Settings& s, MailConfig& out, std::string& error);

// A host as a URL names it: an IPv6 address in brackets.
std::string host_in_url(const std::string& host);

} // namespace server
