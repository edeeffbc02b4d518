// The console's monitor command as the agent "ProcMgr" forwards it to the monitor host: request
// 0x10D to "KAVMonitorClientNC" with two parameters. quorlent builds it, the host unwraps it,
// the remote path reads the operation out of it. Portable: no OS code here.
//
// Parameter 0 names the plug-in and the monitor type (texts in compressed unicode):
//
// | Offset        | Field                                                  |
// |---------------|--------------------------------------------------------|
// | 0             | u32 the parameter's size (25 + name + id)              |
// | 4             | u8 1                                                   |
// | 5             | the language "en_US", NUL-padded to 6 bytes            |
// | 11            | u32 2, the number of texts                             |
// | 15            | u32 23, the offset of the plug-in name                 |
// | 19            | u32 24 + name size, the offset of the monitor id       |
// | 23            | "TARNVEX" NUL, then "1093223018" NUL                   |
//
// Parameter 1 wraps the console's command buffer:
//
// | Offset        | Field                                                  |
// |---------------|--------------------------------------------------------|
// | 0             | u32 the parameter's size (25 + data)                   |
// | 4             | u8 2                                                   |
// | 5             | u32 0                                                  |
// | 9             | u32 the data's size                                    |
// | 13            | u32 25, the offset of the data                         |
// | 17            | 8 reserved bytes, 0                                    |
// | 25            | the data: the console's command buffer                 |
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pm::monitor {

constexpr uint32_t kCmdForwardedMonitor = 0x10D;
constexpr const char* kPluginName = "TARNVEX";
constexpr uint32_t kMonitorId = 1093223018;

// Parameter 0, as quorlent sends it.
std::string ForwardedPluginParam();
// Parameter 1 around `data`.
std::string ForwardedDataParam(std::string_view data);
// Both parameters around a console's command buffer.
std::vector<std::string> WrapForwarded(std::string_view command);

// True when parameter 0 names "TARNVEX" and 1093223018 in its layout, every length and offset
// agreeing with its real size.
bool IsForwardedPluginParam(std::string_view p0);

// The data where parameter 1's own offset and size fields place it: false when the offset is
// not 25 or the size does not end the parameter. The other header fields are not looked at
// (enough to read the operation a request carries).
bool ForwardedData(std::string_view p1, std::string_view* data);

// The console's command buffer inside a forwarded request: false when parameter 0 is not as
// IsForwardedPluginParam wants it, or parameter 1's size, type or zero field does not agree
// besides what ForwardedData checks.
bool UnwrapForwarded(const std::vector<std::string>& params, std::string* command);

} // namespace pm::monitor
