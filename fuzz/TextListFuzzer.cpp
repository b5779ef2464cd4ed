// Text list files are the user's own files, of any content: reading one
// gives lines without line breaks, writing them back and reading again gives
// the same lines, and loading it into a list gives exactly those lines.
#include "FuzzSupport.h"

#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"
#include "util/UtilListBox.h"

#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {
struct TListForm {
    TListForm() : List(new TListBox(&Form)), Dialog(new TFileDialog(&Form, "OpenDialog1", TFileDialog::TKind::Open)) {}
    QWidget Form;
    TListBox* List;
    TFileDialog* Dialog;
};

std::string ScratchFile() {
    static std::string path = [] {
        std::string pattern = "/tmp/sentrel-fuzz-XXXXXX";
        int fd = ::mkstemp(pattern.data());
        ::close(fd);
        return pattern;
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartFuzzApplication();
    TDialogAnswers answers;
    answers.ErrorBox = [](const std::string&, const std::string&) {};
    answers.FileDialog = [](TFileDialog& dialog) {
        dialog.FileName = ScratchFile();
        return true;
    };
    SetDialogAnswers(answers);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = ParseTextList(content);
    for (const std::string& line : lines)
        FUZZ_CHECK(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    FUZZ_CHECK(ParseTextList(FormatTextList(lines)) == lines);

    std::ofstream(ScratchFile(), std::ios::binary | std::ios::trunc) << content;
    static TListForm* form = new TListForm; // lives as long as the application
    form->List->Add("left over");
    ListBoxLoadFromFile(*form->List);
    FUZZ_CHECK(form->List->Lines() == lines);
    return 0;
}
