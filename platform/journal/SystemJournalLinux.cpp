#include "platform/journal/SystemJournal.h"

#include "platform/system/FileDescriptor.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>

namespace {
// Where journald takes entries from its clients (libsystemd's own choice
// of socket, not one to configure).
constexpr std::string_view JournalSocket = "/run/systemd/journal/socket";
} // namespace

std::optional<std::string> JournalUnavailable() {
    const inotify::TFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0)
        return std::string("no socket for the system journal: ") + std::strerror(errno);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    JournalSocket.copy(address.sun_path, JournalSocket.size());
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
        return std::nullopt;
    const int error = errno;
    if (error == ENOENT || error == ECONNREFUSED)
        return "no system journal is running here (nothing answers at " + std::string(JournalSocket) + ")";
    return "the system journal cannot be reached at " + std::string(JournalSocket) + ": " + std::strerror(error);
}

// A value with a line break in it goes in the protocol's binary form,
// which sd_journal_sendv chooses by itself.
std::string SendToJournal(const TJournalEntry& entry) {
    std::vector<std::string> fields;
    std::vector<iovec> vector;
    fields.reserve(entry.size());
    vector.reserve(entry.size());
    for (const TJournalField& field : entry) {
        fields.push_back(field.Name + '=' + field.Value);
        vector.push_back({fields.back().data(), fields.back().size()});
    }
    const int result = sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
    return result < 0 ? std::string(std::strerror(-result)) : std::string();
}
