#pragma once

#include <memory>

class TForm1;
class TOptionsForm;
class TGeneralOptionsForm;
class TInputForm;

// The program's four windows, created in their fixed order (the main window
// first) and living until the program ends; the globals Form1, OptionsForm,
// GeneralOptionsForm and InputForm point at them meanwhile.
class TProgramForms {
public:
    TProgramForms();
    ~TProgramForms();
    TProgramForms(const TProgramForms&) = delete;
    TProgramForms& operator=(const TProgramForms&) = delete;

private:
    std::unique_ptr<TForm1> FForm1;
};
