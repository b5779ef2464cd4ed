#include "platform/helper/HelperProtocol.h"

#include "platform/system/UnalignedRead.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace helper {

namespace {

constexpr uint32_t NoProcess = 0xFFFFFFFF;
constexpr uint32_t MaxText = 4096;

class TWriter {
public:
    template <typename T> TWriter& Put(T value) {
        FData.append(reinterpret_cast<const char*>(&value), sizeof value);
        return *this;
    }
    TWriter& Text(std::string_view text) {
        Put(static_cast<uint32_t>(text.size()));
        FData.append(text);
        return *this;
    }
    // The frame: the length of all that was put, then all of it.
    std::string Frame() const {
        const auto length = static_cast<uint32_t>(FData.size());
        return std::string(reinterpret_cast<const char*>(&length), sizeof length) + FData;
    }

private:
    std::string FData;
};

// Every take fails once one failed, so a parse checks once at its end.
class TReader {
public:
    explicit TReader(std::string_view data) : FData(data) {}

    template <typename T> T Take() {
        if (!FGood || FData.size() < sizeof(T)) {
            FGood = false;
            return T{};
        }
        T value = ReadUnaligned<T>(FData.data());
        FData.remove_prefix(sizeof(T));
        return value;
    }
    std::string Text(uint32_t limit) {
        const auto length = Take<uint32_t>();
        if (!FGood || length > limit || length > FData.size()) {
            FGood = false;
            return {};
        }
        std::string text(FData.substr(0, length));
        FData.remove_prefix(length);
        return text;
    }
    bool Flag() {
        const auto value = Take<uint8_t>();
        FGood = FGood && value <= 1;
        return value == 1;
    }
    void Fail() { FGood = false; }
    bool Good() const { return FGood; }
    // Everything was taken, and rightly.
    bool Complete() const { return FGood && FData.empty(); }

private:
    std::string_view FData;
    bool FGood = true;
};

bool IsFolderPath(const std::string& path) {
    return !path.empty() && path.front() == '/' && path.find('\0') == std::string::npos;
}

void PutProcesses(TWriter& writer, const std::vector<TProcessRef>& processes) {
    // Records of one process share it: each distinct one goes once.
    std::map<const TChangeProcess*, uint32_t> index;
    std::vector<const TChangeProcess*> distinct;
    std::vector<uint32_t> order;
    for (const TProcessRef& process : processes) {
        if (!process) {
            order.push_back(NoProcess);
            continue;
        }
        auto [at, added] = index.emplace(process.get(), static_cast<uint32_t>(distinct.size()));
        if (added)
            distinct.push_back(process.get());
        order.push_back(at->second);
    }
    writer.Put(static_cast<uint32_t>(distinct.size()));
    for (const TChangeProcess* process : distinct)
        writer.Put(process->Pid)
            .Put(static_cast<uint8_t>(process->Named))
            .Put(static_cast<uint8_t>(process->OtherUser))
            .Text(process->Command)
            .Text(process->Executable)
            .Put(process->User);
    writer.Put(static_cast<uint32_t>(order.size()));
    for (uint32_t at : order)
        writer.Put(at);
}

std::vector<TProcessRef> TakeProcesses(TReader& reader) {
    std::vector<TProcessRef> distinct;
    const auto count = reader.Take<uint32_t>();
    for (uint32_t at = 0; at < count && at < MaxReadLength && reader.Good(); ++at) {
        auto process = std::make_shared<TChangeProcess>();
        process->Pid = reader.Take<int32_t>();
        process->Named = reader.Flag();
        process->OtherUser = reader.Flag();
        process->Command = reader.Text(MaxText);
        process->Executable = reader.Text(MaxText);
        process->User = reader.Take<int64_t>();
        distinct.push_back(std::move(process));
    }
    std::vector<TProcessRef> processes;
    const auto records = reader.Take<uint32_t>();
    if (count > MaxReadLength || records > MaxReadLength) {
        reader.Fail();
        return {};
    }
    for (uint32_t at = 0; at < records && reader.Good(); ++at) {
        const auto which = reader.Take<uint32_t>();
        processes.push_back(which < distinct.size() ? distinct[which] : nullptr);
    }
    return processes;
}

} // namespace

std::string EncodeRequest(const TRequest& request) {
    TWriter writer;
    writer.Put(static_cast<uint8_t>(request.Kind)).Put(request.Watch);
    switch (request.Kind) {
    case TRequestKind::Watch:
        writer.Text(request.Folder);
        break;
    case TRequestKind::Read:
        writer.Put(static_cast<uint8_t>(request.SubTree)).Put(request.Filter).Put(request.Length);
        break;
    case TRequestKind::Stop:
        break;
    }
    return writer.Frame();
}

std::optional<TRequest> ParseRequest(std::string_view body) {
    TReader reader(body);
    TRequest request;
    request.Kind = static_cast<TRequestKind>(reader.Take<uint8_t>());
    request.Watch = reader.Take<uint32_t>();
    switch (request.Kind) {
    case TRequestKind::Watch:
        request.Folder = reader.Text(MaxText);
        if (!IsFolderPath(request.Folder))
            return std::nullopt;
        break;
    case TRequestKind::Read:
        request.SubTree = reader.Flag();
        request.Filter = reader.Take<uint32_t>();
        request.Length = reader.Take<uint32_t>();
        if (request.Length == 0 || request.Length > MaxReadLength)
            return std::nullopt;
        break;
    case TRequestKind::Stop:
        break;
    default:
        return std::nullopt;
    }
    if (!reader.Complete() || request.Watch >= MaxWatches)
        return std::nullopt;
    return request;
}

std::string EncodeMessage(const TMessage& message) {
    TWriter writer;
    writer.Put(static_cast<uint8_t>(message.Kind)).Put(message.Watch);
    switch (message.Kind) {
    case TMessageKind::Ready:
    case TMessageKind::Opened:
        break;
    case TMessageKind::Refused:
        writer.Put(message.Error).Text(message.Reason);
        break;
    case TMessageKind::Failed:
        writer.Text(message.Reason);
        break;
    case TMessageKind::Result:
        writer.Put(static_cast<uint8_t>(message.Succeeded)).Text(message.Records);
        PutProcesses(writer, message.Processes);
        break;
    case TMessageKind::Notice:
        writer.Put(static_cast<uint8_t>(message.Notice.Kind))
            .Text(message.Notice.Folder)
            .Put(message.Notice.Error)
            .Put(message.Notice.FolderCount)
            .Text(message.Notice.Mechanism);
        break;
    }
    return writer.Frame();
}

std::optional<TMessage> ParseMessage(std::string_view body) {
    TReader reader(body);
    TMessage message;
    message.Kind = static_cast<TMessageKind>(reader.Take<uint8_t>());
    message.Watch = reader.Take<uint32_t>();
    switch (message.Kind) {
    case TMessageKind::Ready:
    case TMessageKind::Opened:
        break;
    case TMessageKind::Refused:
        message.Error = reader.Take<uint32_t>();
        message.Reason = reader.Text(MaxText);
        break;
    case TMessageKind::Failed:
        message.Reason = reader.Text(MaxText);
        break;
    case TMessageKind::Result:
        message.Succeeded = reader.Flag();
        message.Records = reader.Text(MaxReadLength);
        message.Processes = TakeProcesses(reader);
        break;
    case TMessageKind::Notice: {
        const auto kind = reader.Take<uint8_t>();
        if (kind > static_cast<uint8_t>(TWatchNotice::TKind::Merged))
            return std::nullopt;
        message.Notice.Kind = static_cast<TWatchNotice::TKind>(kind);
        message.Notice.Folder = reader.Text(MaxText);
        message.Notice.Error = reader.Take<int>();
        message.Notice.FolderCount = reader.Take<uint64_t>();
        message.Notice.Mechanism = reader.Text(MaxText);
        break;
    }
    default:
        return std::nullopt;
    }
    if (!reader.Complete())
        return std::nullopt;
    return message;
}

namespace {
// Reads exactly length bytes; false at the end of the input or on an error.
bool ReadAll(int fd, char* data, size_t length) {
    while (length > 0) {
        const ssize_t got = ::read(fd, data, length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}
} // namespace

bool ReadFrame(int fd, uint32_t limit, std::string& body) {
    uint32_t length = 0;
    if (!ReadAll(fd, reinterpret_cast<char*>(&length), sizeof length) || length > limit)
        return false;
    body.resize(length);
    return ReadAll(fd, body.data(), length);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        // A socket's other end gone is an error here, not a signal that ends the program.
        ssize_t written = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == ENOTSOCK)
            written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

} // namespace helper
