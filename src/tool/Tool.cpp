#include <ostream>

#include "tool/Commands.h"

#ifndef VARNSTOW_VERSION
#define VARNSTOW_VERSION "unknown"
#endif

namespace Tool_ns {

namespace {

const char kToolHelp[] =
    "Usage: varnstow-tool COMMAND [options] [arguments]\n"
    "\n"
    "The companion of varnstow, which converts recordings of Acorn cassette tapes into UEF\n"
    "images. Commands:\n"
    "  render IMAGE.uef -o OUT.(wav|raw|csw)   play a UEF image back as a recording\n"
    "  list IMAGE.uef                          show the chunks, blocks and files of an image\n"
    "  prepare IN.wav -o OUT.wav               make a recording ready for varnstow: one\n"
    "                                          channel, DC removed, scaled, 8-bit mono\n"
    "  recover RECORDING -o OUT.uef            decode a recording in every way varnstow\n"
    "                                          can and keep every good block once\n"
    "  histogram RECORDING -o PICTURE.svg      draw the measured wave lengths\n"
    "\n"
    "'varnstow-tool COMMAND --help' describes a command. Options:\n"
    "  -h, --help      show this text\n"
    "      --version   show the version\n"
    "\n"
    "Failures are reported on standard error; the exit status is then 1, or 2 for a command\n"
    "line that cannot be followed.\n";

}  // namespace

int RunTool(const std::vector<std::string>& arguments, ToolStreams& io) {
  if (arguments.empty())
    throw UsageError(
        "a command is needed: render, list, prepare, recover or histogram (see 'varnstow-tool "
        "--help')");
  const std::string& command = arguments[0];
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  if (command == "render")
    return RenderCommand(rest, io);
  if (command == "list")
    return ListCommand(rest, io);
  if (command == "prepare")
    return PrepareCommand(rest, io);
  if (command == "recover")
    return RecoverCommand(rest, io);
  if (command == "histogram")
    return HistogramCommand(rest, io);
  if (command == "--help" || command == "-h" || command == "help") {
    io.out << kToolHelp;
    return 0;
  }
  if (command == "--version") {
    io.out << "varnstow-tool " << VARNSTOW_VERSION << '\n';
    return 0;
  }
  throw UsageError("unknown command '" + command + "' (see 'varnstow-tool --help')");
}

}  // namespace Tool_ns
