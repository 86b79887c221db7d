#include "job/usage.h"

#include "platform/platform.h"
#include "services/version.h"

UsageRequest usage_request(const CommandLine& arguments) {
  if (arguments.count == 0) return UsageRequest::none;
  const std::string& first = arguments.arguments[0];
  UsageRequest request = UsageRequest::none;
  if (first == "--help" || first == "-h") request = UsageRequest::help;
  if (first == "--version" || first == "-V") request = UsageRequest::version;
  if (first == "--check" || first == "-c") request = UsageRequest::check;
  if (request != UsageRequest::none && platform_is_directory(first)) return UsageRequest::none;
  return request;
}

CommandLine arguments_after_first(const CommandLine& arguments) {
  CommandLine rest;
  if (arguments.count > 0) {
    rest.arguments.assign(arguments.arguments.begin() + 1, arguments.arguments.end());
  }
  rest.count = static_cast<std::int16_t>(rest.arguments.size());
  return rest;
}

std::string help_text() {
  return "Usage: ravelok [DIRECTORY]\n"
         "       ravelok --check | -c [DIRECTORY]\n"
         "       ravelok --help | -h | --version | -V\n"
         "\n"
         "Sends the HTTP/1.0 request described in DIRECTORY/RAVELOK.INI (the current\n"
         "directory without DIRECTORY; the name in any letter case), saves the\n"
         "answer's body and exits. Relative paths are taken from the current directory.\n"
         "--check reads the settings as a run would, sends and writes nothing, and\n"
         "prints one line per finding (names the run does not read, list entries it\n"
         "never reaches, values it misreads or refuses, files it cannot read).\n"
         "Every wait for the server (connecting, the TLS handshake, each send, each\n"
         "receive) gives up after 3 s.\n"
         "\n"
         "RAVELOK.INI:\n"
         "  [URL] Site=     host name or address, after https:// for HTTPS; empty: the\n"
         "                  run does nothing\n"
         "  [URL] Port=     TCP port; empty or 0: 80 (443 for HTTPS)\n"
         "  [URL] CAFile=   PEM certificates to trust for HTTPS instead of the system's\n"
         "  [URL] Page=     the path to request; empty: /\n"
         "  [URL] Method=   POST for a POST; anything else: GET\n"
         "  [URL] Save=     the file that receives the answer's body\n"
         "  [URL] Show=     not 0: open the saved file with the desktop's viewer\n"
         "  [URL] FailOn=   an HTTP status (400 recommended): an answer at or past it\n"
         "                  fails the run with 22, its body still saved; empty: never\n"
         "  [URL] SaveHeader= the file that receives the answer's header\n"
         "  [URL] Timeout=  seconds of each wait; empty: 3\n"
         "  [URL] MaxTime=  seconds the whole run may take, retries included\n"
         "  [URL] Retries=  further tries after a failure another try may mend\n"
         "  [URL] RetryWait= seconds before the first retry (doubled after each);\n"
         "                  empty: 1\n"
         "  [URL] Follow=   redirects to follow, up to 50 (301-303 as a GET, 307 and\n"
         "                  308 as sent); empty: none\n"
         "  [URL] User=, Password=  HTTP Basic credentials\n"
         "  [URL] Body=     with Method=POST: a file sent whole as the body\n"
         "  [URL] Type=     the Body's Content-Type\n"
         "  [URL] Proxy=    the HTTP proxy: host:port or http://host:port, with\n"
         "                  user:password@ before the host; none: never a proxy;\n"
         "                  empty: http_proxy, https_proxy/HTTPS_PROXY and\n"
         "                  no_proxy/NO_PROXY from the environment\n"
         "  [Headers] 1=, 2=  request header lines, Name: value; ${NAME} in a value\n"
         "                  or Password takes the environment variable NAME\n"
         "  [Vars] 1=, 2=   form variables, name=value\n"
         "  [Files] 1=, 2=  files to upload (with Method=POST); N.Field=, N.Name=,\n"
         "                  N.Type= name file N's part, file name and type\n"
         "\n"
         "Exit status:\n"
         "  0   the job did what it was asked (an HTTP error answer included,\n"
         "      unless FailOn reaches it)\n"
         "  2   a setting's value is not what its key takes, or --check found something\n"
         "  22  the answer's status reached FailOn\n"
         "  47  more redirects than Follow allows, or a loop of them\n"
         "  48  a redirect refused (its Location, or HTTPS down to HTTP)\n"
         "  53  the settings file or an upload file does not exist\n"
         "  57  the connection could not be opened or failed\n"
         "  24  time-out (Timeout without progress, or MaxTime reached)\n"
         "  62  the server closed early, or an upload file changed while it was sent\n"
         "  61  disk full; 70 access denied; 76 path not found; other: see the manual\n"
         "\n"
         "Manual: man ravelok. README: PREFIX/share/doc/ravelok/README.md\n"
         "(beside ravelok.exe on Windows).\n";
}

std::string version_text() { return "ravelok " RAVELOK_VERSION "\n"; }
