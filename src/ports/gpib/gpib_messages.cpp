#include "ports/gpib/gpib_messages.h"

#include <array>
#include <utility>

namespace pelvane::ports::gpib {

std::string_view MessageText(int number) {
  static constexpr std::array<std::pair<int, std::string_view>, 8> kTable = {{
      {kMsgModuleName, "holvern"},
      {kMsgSuccess, "Last command completed successfully"},
      {kMsgUnableToOpen, "Unable to open device"},
      {kMsgAlreadyOpen, "Port already open"},
      {kMsgWriteTimeout, "Port write timeout"},
      {kMsgIberrInRead, "IBERR in PortBlockRead"},
      {kMsgNegativeCount, "IBCNTL Returned Negative Value"},
      {kMsgShortWrite, "BlockWrite Failed to Transmit all data"},
  }};
  for (const auto& [n, text] : kTable)
    if (n == number) return text;
  return {};
}

}  // namespace pelvane::ports::gpib
