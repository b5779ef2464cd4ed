#pragma once

#include <memory>

class TForm1;
class TOptionsForm;
class TGeneralOptionsForm;
class TInputForm;
struct TCommandLine;

// The program's four windows, created in their fixed order (the main window
// first) and living until the program ends; the globals Form1, OptionsForm,
// GeneralOptionsForm and InputForm point at them meanwhile.
class TProgramForms {
public:
    TProgramForms();
    ~TProgramForms();
    TProgramForms(const TProgramForms&) = delete;
    TProgramForms& operator=(const TProgramForms&) = delete;

    // Shows the main window, which reads the settings file, then adds the
    // command line's folders as "Add Directory" does, each on its own: one
    // that cannot be watched shows its error and the next one follows.
    void Show(const TCommandLine& commandLine);

private:
    std::unique_ptr<TForm1> FForm1;
};
