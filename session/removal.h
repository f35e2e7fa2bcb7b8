#pragma once
// Removes a previous installation before the package runs. Returns when the attempt can go
// on; when files remain that only a restart removes, it ends the calling worker thread.
void RemovePreviousInstallation();
