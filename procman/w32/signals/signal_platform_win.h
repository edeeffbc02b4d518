// The Win32 implementation of SignalPlatform. Keeps nothing between questions: every handle
// is a local RAII object of the question that opened it.
#pragma once

#include "procman/w32/signals/signal_platform.h"

namespace pm::signals {

class Win32SignalPlatform final : public SignalPlatform {
public:
    bool IsWin9x() override;
    Win32Status<TerminateStep> TerminateProcessById(uint32_t process_id,
                                                    ProcessAccess access) override;
    QuitAnswer PostQuitToFirstThread(uint32_t process_id) override;
    Win32Status<ServiceStep> ControlServiceByName(const std::string& name, KeyNameLookup lookup,
                                                  const ServiceDecision& decide) override;
};

} // namespace pm::signals
