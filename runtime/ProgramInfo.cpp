#include "runtime/ProgramInfo.h"

#if !defined(SENTREL_VERSION) || !defined(SENTREL_HOME_PAGE) || !defined(SENTREL_SOURCE_README)
#error "SENTREL_VERSION, SENTREL_HOME_PAGE and SENTREL_SOURCE_README are set by the build"
#endif

const char* ProgramVersion() {
    return SENTREL_VERSION;
}

const char* ProgramHomePage() {
    return SENTREL_HOME_PAGE;
}

const char* SourceReadme() {
    return SENTREL_SOURCE_README;
}
