// sentrel-helper: watches folders through fanotify for an ordinary user.
//
// The program starts it through pkexec when its user asks; pkexec runs it
// as root and says who asked (PKEXEC_UID). It serves that user only, over
// its standard input and output, and only with what that user could have
// seen for themselves. Run by root for someone else, --for-user names them.
#include "helper/HelperService.h"
#include "platform/changes/linux/TranslatingReader.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int ExitRefused = 2;
constexpr size_t PendingBytesPerWatch = 4u << 20;

std::optional<uid_t> ParseUser(std::string_view text) {
    uid_t user = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), user);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return user;
}

// Who is served: the user who ran pkexec; only a caller who is root
// already may name another.
std::optional<uid_t> ServedUser(int argc, char** argv) {
    const char* asker = std::getenv("PKEXEC_UID");
    if (asker)
        return argc == 1 ? ParseUser(asker) : std::nullopt;
    if (argc == 3 && std::string_view(argv[1]) == "--for-user" && ::getuid() == 0)
        return ParseUser(argv[2]);
    return std::nullopt;
}

// Where the connection is a socket, the kernel says who made it: it must be
// the user served (a root caller may serve anyone).
bool ConnectionIsTheUsers(uid_t user) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return errno == ENOTSOCK;
    return peer.uid == user || peer.uid == 0;
}

int Refuse(const char* why) {
    std::fprintf(stderr, "sentrel-helper: %s\n", why);
    return ExitRefused;
}
} // namespace

int main(int argc, char** argv) {
    std::optional<uid_t> user = ServedUser(argc, argv);
    if (!user)
        return Refuse("started the wrong way: the program starts it through pkexec");
    if (::geteuid() != 0)
        return Refuse("not running as root, so it cannot use fanotify");
    if (!ConnectionIsTheUsers(*user))
        return Refuse("its connection was made by another user than the one it serves");
    std::optional<TUserIdentity> identity = IdentityOf(*user);
    if (!identity)
        return Refuse("the user it was started for is not known to the system");
    // It ends with the program that started it: the program's end of the
    // connection closes with it, even when it cannot close it first. (A
    // parent-death signal would come when the thread that started it ends.)
    std::signal(SIGPIPE, SIG_IGN);
    // What one program may keep waiting in the helper, at most: its share
    // of the group's events and what its watches translated.
    inotify::SetPendingMemoryLimit(PendingBytesPerWatch);
    return THelperService(std::move(*identity), STDIN_FILENO, STDOUT_FILENO).Run();
}
