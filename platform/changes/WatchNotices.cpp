#include "platform/changes/WatchNotices.h"

#include <utility>

void TNoticeQueue::Push(TWatchNotice::TKind kind, uint64_t folderCount) {
    TWatchNotice notice;
    notice.Kind = kind;
    notice.FolderCount = folderCount;
    FNotices.push_back(std::move(notice));
}

void TNoticeQueue::Delivered(uint64_t ticket) {
    TWatchNotice notice;
    notice.Kind = TWatchNotice::TKind::Delivered;
    notice.Ticket = ticket;
    FNotices.push_back(std::move(notice));
}

void TNoticeQueue::NotCovered(const std::string& relative, int error) {
    TWatchNotice notice;
    notice.Kind = TWatchNotice::TKind::NotCovered;
    notice.Folder = relative;
    notice.Error = error;
    FNotices.push_back(std::move(notice));
}

bool TNoticeQueue::Take(TWatchNotice& notice) {
    if (FNotices.empty())
        return false;
    notice = std::move(FNotices.front());
    FNotices.pop_front();
    return true;
}
