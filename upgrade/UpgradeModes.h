// The upgrade's states, update modes and stages, as the sequencer, the dialogs' logic and every
// front end name them; and the one mapping from a configuration's load result to the update mode
// a front end starts with.
#pragma once

#include "ConfigFile.h"
#include "SorvelWinTypes.h"

// Upload states (g_nUploadState). There is no state 4.
constexpr int STATE_IDLE = 0;       // no sequence, no connection held
constexpr int STATE_CONNECTED = 1;  // only while "Start Upload" starts the first stage
constexpr int STATE_UPLOADING = 2;  // an upload file is being sent; notifications count
constexpr int STATE_STAGE_DONE = 3; // a file is through; a stage prompt may be open
constexpr int STATE_STOPPED = 5;    // stopped on a time-out, a refusal or a file that did not
                                    // start or pass its check; the port is released

// Update modes (m_nUpdateMode), chosen by the radio buttons.
constexpr BYTE MODE_COMPLETE = 1;
constexpr BYTE MODE_STI_ONLY = 2;
constexpr BYTE MODE_CARTRIDGE_ONLY = 3;
constexpr BYTE MODE_NONE = 255;

// Stages (m_nStage).
constexpr BYTE STAGE_STI = 1;        // upload the STI file
constexpr BYTE STAGE_CARTRIDGE1 = 2; // STI-only: finished; else (reboot prompt,) 1st cartridge
constexpr BYTE STAGE_CARTRIDGE2 = 3; // 'FILE' prompt, 2nd cartridge file
constexpr BYTE STAGE_FINISH = 4;     // final message and reset
constexpr BYTE STAGE_NONE = 255;

// The update mode that a front end selects for a configuration load result: MODE_COMPLETE for
// CONFIG_FULL, MODE_STI_ONLY for CONFIG_STI_ONLY, MODE_NONE when nothing loaded.
constexpr BYTE DefaultUpdateMode(BYTE configResult) {
    if (configResult == CONFIG_NONE)
        return MODE_NONE;
    if (configResult == CONFIG_STI_ONLY)
        return MODE_STI_ONLY;
    return MODE_COMPLETE;
}
