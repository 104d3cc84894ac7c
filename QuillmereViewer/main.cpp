#include "Platform/Dispatch/DispatchRuntime.h"
#include "QuillmereViewer/Interruption.h"
#include "QuillmereViewer/ViewerCommands.h"

#include <iostream>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    quillmere::Interruption::installSignalHandlers();
    // Every serial queue's threads, joined once the viewer has ended.
    quillmere::DispatchRuntime runtime;
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return quillmere::runViewer(arguments, std::cout, std::cerr, quillmere::Interruption::process());
}
