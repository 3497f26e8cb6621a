// The page catalogue: every text setup shows and every fixed name it hands to the platform.
#pragma once

enum {
    PAGE_AGREEMENT = 0,
    PAGE_CONFIRM = 1,
    PAGE_DONE = 2,
    PAGE_MANUAL = 3,
};

struct SetupPage {
    const char *body;     // for the text box, IDC_PAGE_TEXT
    const char *caption;  // for the main button, IDOK
};

// Indexed by page number; only the four page numbers above are ever used.
extern const SetupPage kSetupPages[4];

extern const char kSetupTitle[];
extern const char kFailureMessage[];
extern const char kScriptFile[];
extern const char kInstallVerb[];
extern const char kLicenseLayout[];
extern const char kDoneLayout[];
extern const char kSetupIconName[];
