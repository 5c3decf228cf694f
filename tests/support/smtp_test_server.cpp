#include "tests/support/smtp_test_server.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        result.push_back(line);
    }
    return result;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void makeCertificate(const std::filesystem::path &folder, const std::string &host) {
    Child openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                   "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                   (folder / "key.pem").string(), "-out", (folder / "cert.pem").string(), "-days",
                   "1", "-subj", "/CN=" + host, "-addext", "subjectAltName=IP:" + host});
    const int status = openssl.waitExit(std::chrono::seconds(30));
    if (status != 0 || !std::filesystem::exists(folder / "cert.pem")) {
        throw std::runtime_error("openssl could not make a certificate");
    }
}

} // namespace

std::string ReceivedMail::header(const std::string &name) const {
    const std::string wanted = lower(name) + ":";
    const auto end = content.find("\r\n\r\n");
    const std::string head = content.substr(0, end);
    std::string value;
    bool inField = false;
    std::istringstream in(head);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (inField && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            value += line;
            continue;
        }
        if (inField) {
            break;
        }
        if (lower(line.substr(0, wanted.size())) == wanted) {
            inField = true;
            value = line.substr(wanted.size());
        }
    }
    const auto first = value.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : value.substr(first);
}

std::string ReceivedMail::body() const {
    const auto end = content.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : content.substr(end + 4);
}

SmtpTestServer::SmtpTestServer(const SmtpServerOptions &options) : options_(options) {
    std::vector<std::string> argv = {"/usr/bin/python3", PERSTANDO_SMTP_SERVER_SCRIPT,
                                     "--folder",         folder_.path().string(),
                                     "--host",           options.host,
                                     "--port",           std::to_string(options.port)};
    if (options.tls != SmtpServerOptions::Tls::None) {
        makeCertificate(folder_.path(), options.host);
        argv.insert(argv.end(), {"--cert", (folder_ / "cert.pem").string(), "--key",
                                 (folder_ / "key.pem").string()});
        if (options.tls == SmtpServerOptions::Tls::Implicit) {
            argv.emplace_back("--implicit-tls");
        }
    }
    for (const auto &address : options.refuse) {
        argv.insert(argv.end(), {"--refuse", address});
    }
    if (options.dataDelaySeconds > 0) {
        argv.insert(argv.end(), {"--data-delay", std::to_string(options.dataDelaySeconds)});
    }
    if (options.refuseEhlo) {
        argv.emplace_back("--no-ehlo");
    }
    if (!options.authUser.empty()) {
        argv.insert(argv.end(), {"--user", options.authUser, "--password", options.authPassword});
    }
    if (!options.offerPlain) {
        argv.emplace_back("--no-plain");
    }
    if (!options.offerLogin) {
        argv.emplace_back("--no-login");
    }
    if (options.authInClear) {
        argv.emplace_back("--auth-in-clear");
    }
    if (options.silent) {
        argv.emplace_back("--silent");
    }
    if (options.fault != SmtpServerOptions::Fault::None) {
        argv.insert(argv.end(), {"--hostile", options.fault == SmtpServerOptions::Fault::DropInData
                                                  ? "drop-in-data"
                                                  : "garbage"});
    }
    process_ = Child(argv);
    const auto portFile = folder_ / "port";
    waitUntil([&] { return std::filesystem::exists(portFile) || !process_.running(); },
              std::chrono::seconds(20));
    if (std::filesystem::exists(portFile)) {
        port_ = std::stoi(readFile(portFile));
    }
}

SmtpTestServer::~SmtpTestServer() {
    stop();
}

void SmtpTestServer::stop() {
    process_.stop(15);
}

std::string SmtpTestServer::certificatePem() const {
    return readFile(folder_ / "cert.pem");
}

void writeMailPasswordFile(const std::filesystem::path &folder, const std::string &password) {
    const auto file = folder / "mail-password";
    writeFile(file, password + "\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
}

std::string SmtpTestServer::signedInMailSettings(const std::string &user,
                                                 const std::filesystem::path &caFile) const {
    writeFile(caFile, certificatePem());
    return "[mail]\nnotification=On\nSendto=ops@example.com\nport=" + std::to_string(port_) +
           "\naddress=perstando@example.com\nserver=127.0.0.1\nuser=" + user +
           "\ncafile=" + caFile.string() + "\n";
}

std::vector<std::string> SmtpTestServer::events() const {
    return lines(readFile(folder_ / "events"));
}

std::vector<ReceivedMail> SmtpTestServer::messages() const {
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder_.path())) {
        const auto name = entry.path().filename().string();
        if (name.starts_with("mail-") && name.ends_with(".txt")) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<ReceivedMail> result;
    for (const auto &file : files) {
        const std::string text = readFile(file);
        const auto split = text.find("\n\n");
        ReceivedMail mail;
        for (const auto &line : lines(text.substr(0, split))) {
            if (line.starts_with("mail_from: ")) {
                mail.mailFrom = line.substr(11);
            } else if (line.starts_with("rcpt_to: ")) {
                mail.rcptTo.push_back(line.substr(9));
            } else if (line == "tls: yes") {
                mail.tls = true;
            } else if (line.starts_with("auth: ")) {
                mail.authUser = line.substr(6);
            }
        }
        mail.content = split == std::string::npos ? std::string() : text.substr(split + 2);
        result.push_back(mail);
    }
    return result;
}

} // namespace testing_support
