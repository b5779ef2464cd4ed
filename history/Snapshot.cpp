#include "history/Snapshot.h"

#include "history/HistoryFiles.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {
std::atomic<unsigned> Writers{0};
constexpr char Magic[8] = {'S', 'N', 'T', 'R', 'S', 'N', 'P', '1'};
constexpr char TrailerMagic[8] = {'S', 'N', 'T', 'R', 'E', 'N', 'D', '1'};
constexpr uint64_t ChecksumStart = 14695981039346656037ULL;
constexpr size_t TrailerSize = sizeof TrailerMagic + 2 * sizeof(uint64_t);
// An entry's flags: where it is not on the folder's device, whether its
// birth time is known.
constexpr uint64_t OtherDevice = 1, BornKnown = 2;
// No path, name or header field is longer than this in a sound file.
constexpr uint64_t LongestField = 1 << 20;

uint64_t Checksum(uint64_t sum, const void* bytes, size_t size) {
    const auto* byte = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i)
        sum = (sum ^ byte[i]) * 1099511628211ULL;
    return sum;
}

uint64_t Zigzag(int64_t value) {
    return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

int64_t Unzigzag(uint64_t value) {
    return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

size_t Shared(const std::string& a, const std::string& b) {
    size_t shared = 0;
    while (shared < a.size() && shared < b.size() && a[shared] == b[shared])
        ++shared;
    return shared;
}

// Whether the file's bytes before its trailer give the trailer's checksum.
bool Sound(std::FILE* file, uint64_t& count) {
    if (std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long size = std::ftell(file);
    if (size < static_cast<long>(sizeof Magic + TrailerSize) || std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    uint64_t sum = ChecksumStart;
    char buffer[1 << 16];
    for (long left = size - static_cast<long>(TrailerSize); left > 0;) {
        const size_t chunk = std::min<size_t>(sizeof buffer, static_cast<size_t>(left));
        if (std::fread(buffer, 1, chunk, file) != chunk)
            return false;
        sum = Checksum(sum, buffer, chunk);
        left -= static_cast<long>(chunk);
    }
    char magic[sizeof TrailerMagic];
    uint64_t stored = 0;
    const bool read = std::fread(magic, 1, sizeof magic, file) == sizeof magic &&
                      std::fread(&count, sizeof count, 1, file) == 1 &&
                      std::fread(&stored, sizeof stored, 1, file) == 1;
    return read && std::memcmp(magic, TrailerMagic, sizeof magic) == 0 && stored == sum &&
           std::fseek(file, sizeof Magic, SEEK_SET) == 0;
}
} // namespace

std::string SnapshotPathFor(const std::string& historyFile, const std::string& folder) {
    char name[40];
    std::snprintf(name, sizeof name, "%016llx.snapshot",
                  static_cast<unsigned long long>(Checksum(ChecksumStart, folder.data(), folder.size())));
    return (std::filesystem::path(historyFile).parent_path() / SnapshotFolderName / name).string();
}

// Each writer has a temporary file of its own: two programs that keep the
// snapshot of one folder never write into one file.
TSnapshotWriter::TSnapshotWriter(std::string path, const TSnapshotHeader& header)
    : FPath(std::move(path)), FTemporary(FPath + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(++Writers)),
      FChecksum(ChecksumStart), FHeader(header) {
    if (FUnfit = PrepareHistoryFolder(std::filesystem::path(FPath).parent_path()); !FUnfit.empty())
        return;
    const int fd = OpenHistoryFile(FTemporary, O_WRONLY | O_CREAT | O_TRUNC);
    FFile = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!FFile) {
        FOpenError = errno;
        if (fd >= 0)
            ::close(fd);
        return;
    }
    Put(Magic, sizeof Magic);
    PutNumber(header.Folder.size());
    Put(header.Folder.data(), header.Folder.size());
    PutNumber(header.FileSystem.Device);
    PutNumber(header.FileSystem.Id);
    PutNumber(Zigzag(header.Taken));
}

TSnapshotWriter::~TSnapshotWriter() {
    if (FFile) {
        std::fclose(FFile);
        std::remove(FTemporary.c_str());
    }
}

void TSnapshotWriter::Put(const void* bytes, size_t size) {
    FChecksum = Checksum(FChecksum, bytes, size);
    FFailed = FFailed || std::fwrite(bytes, 1, size, FFile) != size;
}

void TSnapshotWriter::PutNumber(uint64_t value) {
    unsigned char bytes[10];
    size_t size = 0;
    do {
        bytes[size++] = static_cast<unsigned char>((value & 0x7F) | (value > 0x7F ? 0x80 : 0));
        value >>= 7;
    } while (value != 0);
    Put(bytes, size);
}

// Times as differences from a neighbour, which are mostly small: the
// modification from when the snapshot was taken, the change from the
// modification, the birth from the change.
void TSnapshotWriter::Add(const TTreeEntry& entry) {
    if (!FFile)
        return;
    const size_t shared = Shared(FLastPath, entry.Path);
    PutNumber(shared);
    PutNumber(entry.Path.size() - shared);
    Put(entry.Path.data() + shared, entry.Path.size() - shared);
    FLastPath = entry.Path;
    const bool otherDevice = entry.Device != FHeader.FileSystem.Device;
    PutNumber((otherDevice ? OtherDevice : 0) | (entry.Born != 0 ? BornKnown : 0));
    if (otherDevice)
        PutNumber(entry.Device);
    PutNumber(entry.Inode);
    PutNumber(entry.Mode);
    PutNumber(entry.Size);
    PutNumber(Zigzag(FHeader.Taken - entry.Modified));
    PutNumber(Zigzag(entry.Changed - entry.Modified));
    if (entry.Born != 0)
        PutNumber(Zigzag(entry.Changed - entry.Born));
    ++FCount;
}

bool TSnapshotWriter::Finish(std::string& error) {
    if (!FFile) {
        error = FUnfit.empty() ? std::strerror(FOpenError) : FUnfit;
        return false;
    }
    const uint64_t sum = FChecksum;
    Put(TrailerMagic, sizeof TrailerMagic);
    Put(&FCount, sizeof FCount);
    Put(&sum, sizeof sum);
    const bool written = !FFailed && std::fflush(FFile) == 0 && ::fsync(::fileno(FFile)) == 0;
    const int writeError = errno;
    std::fclose(FFile);
    FFile = nullptr;
    if (!written || std::rename(FTemporary.c_str(), FPath.c_str()) != 0) {
        error = std::strerror(written ? errno : writeError);
        std::remove(FTemporary.c_str());
        return false;
    }
    // The rename itself is on disk only once the folder is.
    const int folder = ::open(std::filesystem::path(FPath).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

// Anything but a regular file in a snapshot's place (a FIFO would hold the
// reader forever) is damage, not a snapshot.
TSnapshotReader::TSnapshotReader(const std::string& path) {
    const int fd = OpenHistoryFile(path, O_RDONLY);
    if (fd < 0) {
        FState = errno == ENOENT ? TState::Missing : TState::Damaged;
        return;
    }
    FFile = ::fdopen(fd, "rb");
    if (!FFile) {
        ::close(fd);
        FState = TState::Damaged;
        return;
    }
    FState = Sound(FFile, FLeft) && ReadHeader() ? TState::Ready : TState::Damaged;
}

TSnapshotReader::~TSnapshotReader() {
    if (FFile)
        std::fclose(FFile);
}

bool TSnapshotReader::Get(void* bytes, size_t size) {
    return std::fread(bytes, 1, size, FFile) == size;
}

bool TSnapshotReader::GetNumber(uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        const int byte = std::fgetc(FFile);
        if (byte == EOF)
            return false;
        value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0)
            return true;
    }
    return false;
}

bool TSnapshotReader::ReadHeader() {
    uint64_t size = 0, taken = 0;
    if (!GetNumber(size) || size > LongestField)
        return false;
    FHeader.Folder.resize(size);
    if (!Get(FHeader.Folder.data(), size) || !GetNumber(FHeader.FileSystem.Device) ||
        !GetNumber(FHeader.FileSystem.Id) || !GetNumber(taken))
        return false;
    FHeader.Taken = Unzigzag(taken);
    return true;
}

std::optional<TTreeEntry> TSnapshotReader::Next() {
    if (FState != TState::Ready || FLeft == 0)
        return std::nullopt;
    TTreeEntry entry;
    uint64_t shared = 0, rest = 0, flags = 0, modified = 0, changed = 0, born = 0;
    if (!GetNumber(shared) || !GetNumber(rest) || shared > FLastPath.size() || rest > LongestField)
        return FState = TState::Damaged, std::nullopt;
    entry.Path = FLastPath.substr(0, shared);
    entry.Path.resize(shared + rest);
    uint64_t mode = 0;
    bool read = Get(entry.Path.data() + shared, rest) && GetNumber(flags);
    entry.Device = FHeader.FileSystem.Device;
    if (read && (flags & OtherDevice))
        read = GetNumber(entry.Device);
    read = read && GetNumber(entry.Inode) && GetNumber(mode) && GetNumber(entry.Size) && GetNumber(modified) &&
           GetNumber(changed) && (!(flags & BornKnown) || GetNumber(born));
    if (!read)
        return FState = TState::Damaged, std::nullopt;
    entry.Mode = static_cast<uint32_t>(mode);
    entry.Modified = FHeader.Taken - Unzigzag(modified);
    entry.Changed = entry.Modified + Unzigzag(changed);
    entry.Born = (flags & BornKnown) ? entry.Changed - Unzigzag(born) : 0;
    FLastPath = entry.Path;
    --FLeft;
    return entry;
}
