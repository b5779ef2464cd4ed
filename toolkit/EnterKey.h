#pragma once

class QEvent;
class QObject;

// Tells an Enter that was pressed and released on one control from a lone
// release, whose press went elsewhere: to a menu it chose an item of, or to
// a prompt it closed. Only the first closes a dialog; the second must not
// answer a question the user has not seen yet.
class TEnterKey {
public:
    // Feed every key event of the watched controls; true when event is the
    // release of an Enter pressed on the same control.
    bool Completes(QObject* watched, QEvent* event);

private:
    QObject* FPressedOn = nullptr;
};
