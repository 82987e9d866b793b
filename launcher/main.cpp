// The launcher: starts the client's runtime on a supported system and exits at once.
#include "launcher_flow.h"

int main() {
    std::unique_ptr<launcher::ILauncherPlatform> platform = launcher::MakeSystemPlatform();
    return launcher::RunLauncher(*platform);
}
