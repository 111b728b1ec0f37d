// Update modes and the "no stage" value of the main dialog (m_nUpdateMode, m_nStage).
//
// The upgrade sequencer (app/sequencer/UpgradeSequencer.h) declares the same constants with the
// same values together with its stages; once the dialog drives the sequencer it takes them from
// there and this header goes away.
#pragma once

#include "SorvelWinTypes.h"

constexpr BYTE MODE_COMPLETE = 1;
constexpr BYTE MODE_STI_ONLY = 2;
constexpr BYTE MODE_CARTRIDGE_ONLY = 3;
constexpr BYTE MODE_NONE = 255;
constexpr BYTE STAGE_NONE = 255;
