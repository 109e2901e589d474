// Identifiers shared by resources.rc and the code that shows its dialogs.
#pragma once

#define IDD_LANGUAGE_SELECTION 110
#define IDD_PROGRESS 130
#define IDD_VERSION_SELECTION 131

#define IDC_LANGUAGE_BOX 1000
#define IDC_VERSION_BOX 1000
#define IDC_PROGRESS_BAR 1001
#define IDC_DOWNLOAD_ONLY 1002
#define IDC_DESTINATION 1003
#define IDC_PICK_FOLDER 1004
