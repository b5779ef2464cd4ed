#include "runtime/Exception.h"

#include "runtime/SysUtils.h"

const TExceptionClass& Exception::Class() const {
    return ClassOf<Exception>();
}

std::string AssertionText(const char* unitName, int line) {
    return Format("%s (%s, line %d)", "Assertion failure", unitName, line);
}
