#include "users.h"

#include <cstdlib>
#include <sstream>

#include "input_file.h"
#include "protocol.h"

namespace kelsrv {
namespace {

bool ParseCode(const std::string &text, std::uint32_t *code) {
    if (text.empty()) return false;
    char *end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || value > 0xFFFFFFFFull) return false;
    *code = static_cast<std::uint32_t>(value);
    return true;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.push_back("");
    return parts;
}

// Fills *user from NAME, PASSWORD, [PASSWORD2, [CODE]] and checks the
// lengths: a client cuts credentials to 8 characters, so longer ones could
// never match.
bool MakeUser(const std::vector<std::string> &fields, User *user, std::string *error) {
    if (fields.size() < 2 || fields.size() > 4) {
        *error = "expected NAME PASSWORD [PASSWORD2 [CODE]]";
        return false;
    }
    User made;
    made.userId = fields[0];
    made.password = fields[1];
    if (fields.size() > 2) made.password2 = fields[2];
    if (fields.size() > 3 && !ParseCode(fields[3], &made.refuseCode)) {
        *error = "bad refusal code '" + fields[3] + "'";
        return false;
    }
    if (made.userId.empty() || made.userId.size() > kCredentialLen || made.password.size() > kCredentialLen ||
        made.password2.size() > kCredentialLen) {
        *error = "user id must have 1 to 8 characters, passwords at most 8";
        return false;
    }
    *user = made;
    return true;
}

const User *FindUser(const std::vector<User> &users, const std::string &userId) {
    for (const User &user : users)
        if (user.userId == userId) return &user;
    return nullptr;
}

}  // namespace

bool ParseUserOption(const std::string &text, User *user, std::string *error) {
    if (!MakeUser(Split(text, ':'), user, error)) {
        *error = "--user " + text + ": " + *error;
        return false;
    }
    return true;
}

bool LoadUsers(std::istream &in, const std::string &name, std::vector<User> *users, std::string *error) {
    const std::size_t before = users->size();
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word == "-" ? "" : word);
        if (fields.empty() || fields[0][0] == '#') continue;
        User user;
        if (!MakeUser(fields, &user, error)) {
            *error = name + ":" + std::to_string(number) + ": " + *error;
            users->resize(before);
            return false;
        }
        users->push_back(user);
    }
    if (in.bad())
        *error = "reading users file " + name + " failed after line " + std::to_string(number);
    else if (users->size() == before)
        *error = "users file " + name + " names no user (without users anyone could log on)";
    else
        return true;
    users->resize(before);
    return false;
}

bool LoadUsersFile(const std::string &path, std::vector<User> *users, std::string *error) {
    std::ifstream in;
    return OpenInputFile(path, "users file", &in, error) && LoadUsers(in, path, users, error);
}

std::uint32_t CheckLogon(const std::vector<User> &users, const LogonRequest &request) {
    if (request.userId.empty()) return kRcEmptyUser;
    if (users.empty()) return 0;
    const User *user = FindUser(users, request.userId);
    if (!user) return kRcUnknownUser;
    if (user->refuseCode != 0) return user->refuseCode;
    if (request.password != MakeCredential(user->password)) return kRcWrongPassword;
    bool expectsPassword2 = !user->password2.empty();
    if (request.hasPassword2 != expectsPassword2 ||
        (expectsPassword2 && request.password2 != MakeCredential(user->password2)))
        return kRcWrongPassword2;
    return 0;
}

}  // namespace kelsrv
