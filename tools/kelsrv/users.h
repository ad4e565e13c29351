// The users kelsrv accepts, and the logon check against them.
#ifndef KELSRV_USERS_H
#define KELSRV_USERS_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "wire.h"

namespace kelsrv {

struct User {
    std::string userId;            // 1 to 8 characters
    std::string password;          // at most 8 characters, may be empty
    std::string password2;         // at most 8 characters; empty = none expected
    std::uint32_t refuseCode = 0;  // non-zero: every logon of this user is refused with it
};

// Parses "NAME:PASSWORD[:PASSWORD2[:CODE]]" (CODE decimal or 0x-hex).
bool ParseUserOption(const std::string &text, User *user, std::string *error);

// Reads users, one per line as "NAME PASSWORD [PASSWORD2 [CODE]]"
// separated by blanks; "-" stands for an empty password; blank lines and
// lines starting with '#' are skipped. Appends to *users. A bad line, a
// read that fails or no user at all is an error (named after name), and
// then nothing is appended: a server must not fall back to its open mode.
bool LoadUsers(std::istream &in, const std::string &name, std::vector<User> *users, std::string *error);

// LoadUsers from the file at path; a path that cannot be opened or is a
// directory is an error too.
bool LoadUsersFile(const std::string &path, std::vector<User> *users, std::string *error);

// The host return code of a logon: 0 accepted, else the refusal (see
// kReturnCodes). With no users configured every non-empty user id is accepted.
std::uint32_t CheckLogon(const std::vector<User> &users, const LogonRequest &request);

}  // namespace kelsrv

#endif
