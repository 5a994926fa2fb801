#pragma once

// Shared by the resource scripts and the code, so plain preprocessor definitions only.
#define IDD_LICENSE_DIALOG 101
#define IDC_LICENSE_TEXT 1002
