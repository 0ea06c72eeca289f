#pragma once

// Dialog templates
#define IDD_SAVE 103
#define IDD_MAIN 1000

// Main dialog
#define IDC_SAVE 1007
#define IDC_ATA 1008
#define IDC_HITS 1009
#define IDC_FROM 1014
#define IDC_TO 1015
#define IDC_RESULTS 1017

// Save dialog (IDOK and IDCANCEL are the platform's)
#define IDC_PATH 1018
#define IDC_BROWSE 1019
