// Resource and control ids of the manager's windows. The tests drive the
// windows by these ids, so they stay put.
#pragma once

#define IDI_MAIN 1
#define IDB_MARKS 101
#define IDS_CAPTION 201
#define IDR_TASKS 20

#define IDD_MAIN 1000
#define IDD_REGISTER 1100
#define IDD_MESSAGES 1200
#define IDD_GENERAL 1300
#define IDD_ADVANCED 1400

// main window
#define IDC_PAGECONTROL 1001
#define IDC_LABEL1 1002
#define IDC_EDITSERVERURL 1003
#define IDC_LABEL5 1004
#define IDC_EDITCONNECTIONPASSWORD 1005
#define IDC_BUTTONTESTCONNECTION 1006
#define IDC_PANEL 1007
#define IDC_THROBBER 1008
#define IDC_LABEL6 1009
#define IDC_LABEL7 1010
#define IDC_LABEL2 1011
#define IDC_EDITPORT 1012
#define IDC_BUTTONOK 1 /* IDOK: the default button */
#define IDC_BUTTONCANCEL 2 /* IDCANCEL */

// registration dialog
#define IDC_LABELSTATION 1101
#define IDC_EDITSTATION 1102
#define IDC_LABELROOM 1103
#define IDC_COMBOROOM 1104
#define IDC_LABELIMAGE 1105
#define IDC_COMBOIMAGE 1106
#define IDC_LABELMODEL 1107
#define IDC_COMBOMODEL 1108
#define IDC_LABELSOFTWARE 1109
#define IDC_MEMOSOFTWARE 1110
#define IDC_LABELHARDWARE 1111
#define IDC_MEMOHARDWARE 1112

// messages window
#define IDC_SHAPE1 1201
#define IDC_LISTMESSAGES 1202
#define IDC_BUTTONBACK 1203
#define IDC_BUTTONFINISH 1204
#define IDC_MSGTHROBBER 1205
