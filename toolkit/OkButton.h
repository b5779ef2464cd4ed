#pragma once

class QToolButton;
class QWidget;

// The flat "OK" speed button of the option dialogs: the standard OK glyph
// beside the caption, 78 by 22, never taking the focus from the control the
// user types in.
QToolButton* NewOkSpeedButton(QWidget* parent);
