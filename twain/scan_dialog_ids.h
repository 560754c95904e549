// SPDX-License-Identifier: MIT
// The numbers of the source's dialog and its controls, shared by the dialog
// template (scan_dialog.rc), the dialog code and the tests.
#pragma once

#define TORVANE_IDD_SCAN 100
#define TORVANE_IDC_MODE 1001
#define TORVANE_IDC_RESOLUTION 1002
#define TORVANE_IDC_PAPER 1003
#define TORVANE_IDC_FILTER 1004
#define TORVANE_IDC_HALFTONE 1005
#define TORVANE_IDC_PREVIEW 1006
#define TORVANE_IDC_PREVIEW_AREA 1007
#define TORVANE_IDC_PROGRESS 1008
