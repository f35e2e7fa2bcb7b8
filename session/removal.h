#pragma once
// Removes a previous installation before the package runs.

enum class RemovalOutcome {
    Done,          // nothing was there, or everything went now
    RestartNeeded, // files remain that only a restart removes
};
[[nodiscard]] RemovalOutcome RemovePreviousInstallation();
