// Control ids of the page layouts, shared by the resource script and the code.
#pragma once

// The main button is IDOK and the Cancel button IDCANCEL, the dialog manager's own ids.
#define IDC_PAGE_TEXT 1003
