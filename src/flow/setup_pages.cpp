// The texts of the four pages and the fixed names, all constant for the life of the process. What
// they say of the product comes from the install script (product.h, made at build time).
#include "setup_pages.h"

#include "product.h"

static const char kAgreementText[] =
    PRODUCT_NAME " - Copyright (c) 1996-2004 " PRODUCT_VENDOR "\r\n"
    "Email: support@quibel.example.org   Web site: www.quibel.example.org\r\n"
    "\r\n"
    PRODUCT_NAME " predicts tides and currents for 9,500 stations world-wide from 1970 to 2038.\r\n"
    "It runs under Win9x/NT4/2k/XP and requires about 4 MB disk space and 5 MB RAM.\r\n"
    "\r\n"
    "\r\n"
    "\r\n"
    "\r\n"
    "\r\n"
    "\r\n"
    "\r\n"
    "\r\n";

// Shown before the launch and again, for its manual directions, when the launch fails.
static const char kSummaryText[] =
    "When you press \"Install\", setup will:\r\n"
    "  1) Copy 10 files (4,051,770 bytes) to \"\\Program Files\\" PRODUCT_FOLDER "\"\r\n"
    "  2) Make a " PRODUCT_NAME " shortcut folder in the Start Programs menu.\r\n"
    "  3) Make an uninstall entry in Control Panel Add/Remove Programs.\r\n"
    "\r\n"
    "Or, to manually install the program to the folder of your choice:\r\n"
    "  1) Create an empty folder for the program (e.g. \"c:\\Program Files\\" PRODUCT_FOLDER "\").\r\n"
    "  2) Extract all files to the new folder (setup.exe and " PRODUCT_SCRIPT " are not needed).\r\n"
    "  3) Right click drag " PRODUCT_PROGRAM " from the new folder to the desktop to make a\r\n"
    "      shortcut to the program.";

static const char kCompletionText[] =
    "When activity stops (in about 3-10 seconds)\r\n"
    "the installation will be complete.\r\n"
    "\r\n"
    "I hope you enjoy using " PRODUCT_NAME ".";

static const char kFinishCaption[] = "Finish";

const SetupPage kSetupPages[4] = {
    /* PAGE_AGREEMENT */ {kAgreementText, "I Agree"},
    /* PAGE_CONFIRM   */ {kSummaryText, "Install"},
    /* PAGE_DONE      */ {kCompletionText, kFinishCaption},
    /* PAGE_MANUAL    */ {kSummaryText, kFinishCaption},
};

const char kSetupTitle[] = "Install " PRODUCT_NAME " version " PRODUCT_VERSION;
const char kFailureMessage[] =
    "Installation failed - could not run the install script file " PRODUCT_SCRIPT "\r\n"
    "Please follow the manual install directions on the next page.";
const char kScriptFile[] = PRODUCT_SCRIPT;
const char kInstallVerb[] = "install";
const char kLicenseLayout[] = "LICENSE";
const char kDoneLayout[] = "DONE";
const char kSetupIconName[] = "SETUP";
