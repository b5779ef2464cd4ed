#include "toolkit/Exception.h"

#include "toolkit/SysUtils.h"

const TExceptionClass& Exception::Class() const {
    return ClassOf<Exception>();
}

std::string AssertionText(const char* unitName, int line) {
    return Format("%s (%s, line %d)", "Assertion failure", unitName, line);
}
