#pragma once

// Numbers of the Windows program's resources, controls and commands, shared by its resource
// script, its window and the window's test. Plain macros: the resource compiler reads this file.

#define PW_ICON_APP 1
#define PW_ICON_SCAN 101
#define PW_ICON_SELECTALL 102
#define PW_ICON_DESELECTALL 103
#define PW_ICON_EXPORT 104
#define PW_ICON_DRIVE 105
#define PW_ICON_ENVELOPE 106

#define PW_ID_TOOLBAR 1000
#define PW_ID_SCAN 1001
#define PW_ID_SELECTALL 1002
#define PW_ID_DESELECTALL 1003
#define PW_ID_SAVEEMAIL 1004
#define PW_ID_GROUPBOX1 1010
#define PW_ID_DRIVES 1011
#define PW_ID_FILTER 1020
#define PW_ID_KEYWORDLABEL 1021
#define PW_ID_TXTFILTER 1022
#define PW_ID_APPLYFILTER 1023
#define PW_ID_CLEARFILTER 1024
#define PW_ID_TEXTMODE 1025
#define PW_ID_FOUNDEMAILS 1030
#define PW_ID_MSGBODY 1031
#define PW_ID_DETAILS 1032
#define PW_ID_ATTACHMENTS 1033
#define PW_ID_SAVEATTACHMENT 1034
#define PW_ID_STATUS 1040

#define PW_ID_OPENIMAGE 2001
#define PW_ID_EXIT 2002
#define PW_ID_DEEPSCAN 2003
#define PW_ID_HELP 2004
#define PW_ID_ABOUT 2005
#define PW_ID_EXPORTMAILBOX 2006
#define PW_ID_HIDECOPIES 2007
#define PW_ID_CLIENTDELETED 2008
#define PW_ID_MESSAGESOURCE 2009

#define PW_ID_WAITLABEL 3001
#define PW_ID_WAITBAR 3002
#define PW_ID_WAITBYTES 3003
#define PW_ID_WAITCOUNTS 3004
