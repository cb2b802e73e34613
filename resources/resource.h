// Resource and control ids shared by dravex.rc and the dialog procedures.
// Only #defines: the resource compiler reads this file too.
#ifndef DRAVEX_RESOURCES_RESOURCE_H
#define DRAVEX_RESOURCES_RESOURCE_H

#define ICON_APP 1

#define DLG_MAIN 1
#define DLG_OVERWRITE 2

// Main dialog (template 1).
#define CTL_FOLDER 101
#define CTL_BANNER 102  // banner, then the progress line with the file count
#define CTL_HELP 103
#define CTL_CANCEL 104
#define CTL_INTRO 105
#define CTL_OVERWRITE_ALL 106
#define CTL_FOLDER_LABEL 107
#define CTL_EXTRACT 108
// Numbered past the question's 109 to 112, which thus tell the question
// apart from the main dialog.
#define CTL_BROWSE 113
#define CTL_PROGRESS 114

// Overwrite question (template 2). The button ids are its answers.
#define CTL_QUESTION_FOLDER 106  // in FOLDER
#define CTL_QUESTION 107  // File "NAME"
#define CTL_YES_TO_ALL 108
#define CTL_YES 109
#define CTL_NO 110
#define CTL_NO_TO_ALL 111
#define CTL_QUESTION_TAIL 112  // the rest of the question

// The publisher's texts: string table block 1, which qvx writes into a
// self-extractor's resources, one block per language (Windows picks the
// user's). A string that is not there leaves the stub's own text. The
// support contact is stored with a blank line in front, as the end of the
// changed-stub message, which shows at most CONTACT_SIZE - 1 units of it.
#define STR_BANNER 1
#define STR_INTRO 2
#define STR_HELP 3
#define STR_SUPPORT 4
#define CONTACT_SIZE 128

#endif
