#pragma once

namespace quillon::platform {

// Gives up every capability the process holds unless it runs as root. Called first thing in
// main(), before Qt loads any plugin: Qt honours plugin and library paths from the
// environment, so a GUI binary left with a file capability (cap_net_admin+ep from an old set-up)
// would hand that capability to any code a user points it at. Cuts go through quillon-cut.
void dropCapabilitiesUnlessRoot();

} // namespace quillon::platform
