#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QLineEdit;
class TFileDialog;
class TListBox;

// "General Options": the display mode, the tray mode, the hex editor and the
// exclusion and file-type lists. Its controls are the live configuration,
// read by the change filter at every change.
class TGeneralOptionsForm : public QDialog {
public:
    explicit TGeneralOptionsForm(QWidget* parent);

    // True when path lies in an excluded folder: some entry of lbExcluded
    // that ends in the separator occurs in path, letter case significant.
    bool IsExcludedPath(const std::string& path) const;
    // True when path is listed in lbExcluded as a file of its own, compared
    // as the system compares paths.
    bool IsExcludedFile(const std::string& path) const;

    QCheckBox* cbVerboseDisplay;
    QCheckBox* cbMinToTray;
    QLineEdit* ebHexEditor;
    TListBox* lbExcluded;
    TListBox* lbExcludedTypes;
    TListBox* lbIncludedTypes;
    TFileDialog* SaveDialog1;
    TFileDialog* OpenDialog1;
};

extern TGeneralOptionsForm* GeneralOptionsForm;
