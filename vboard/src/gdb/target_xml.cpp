// The register file GDB is told about. The regnum attributes fix the order of
// the 'g' packet and the numbers of 'p'/'P' to the Reg enumeration in target.h;
// GDB derives s0..s31 from d0..d15 itself.
#include <string>

#include "gdb/target.h"

namespace vboard::gdb {

const std::string& target_xml() {
  static const std::string xml = [] {
    std::string x =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
        "<target version=\"1.0\">\n"
        "<architecture>arm</architecture>\n"
        "<feature name=\"org.gnu.gdb.arm.m-profile\">\n";
    for (unsigned i = 0; i < 13; ++i)
      x += "<reg name=\"r" + std::to_string(i) + "\" bitsize=\"32\" regnum=\"" + std::to_string(i) +
           "\" type=\"uint32\"/>\n";
    x += "<reg name=\"sp\" bitsize=\"32\" regnum=\"13\" type=\"data_ptr\"/>\n"
         "<reg name=\"lr\" bitsize=\"32\" regnum=\"14\" type=\"int\"/>\n"
         "<reg name=\"pc\" bitsize=\"32\" regnum=\"15\" type=\"code_ptr\"/>\n"
         "<reg name=\"xpsr\" bitsize=\"32\" regnum=\"16\" type=\"int\"/>\n"
         "</feature>\n"
         "<feature name=\"org.gnu.gdb.arm.vfp\">\n";
    for (unsigned i = 0; i < 16; ++i)
      x += "<reg name=\"d" + std::to_string(i) + "\" bitsize=\"64\" regnum=\"" + std::to_string(kD0 + i) +
           "\" type=\"ieee_double\" group=\"float\"/>\n";
    x += "<reg name=\"fpscr\" bitsize=\"32\" regnum=\"33\" type=\"int\" group=\"float\"/>\n"
         "</feature>\n"
         "<feature name=\"org.gnu.gdb.arm.m-system\">\n"
         "<reg name=\"msp\" bitsize=\"32\" regnum=\"34\" type=\"data_ptr\" group=\"system\"/>\n"
         "<reg name=\"psp\" bitsize=\"32\" regnum=\"35\" type=\"data_ptr\" group=\"system\"/>\n"
         "<reg name=\"primask\" bitsize=\"32\" regnum=\"36\" type=\"int\" group=\"system\"/>\n"
         "<reg name=\"basepri\" bitsize=\"32\" regnum=\"37\" type=\"int\" group=\"system\"/>\n"
         "<reg name=\"faultmask\" bitsize=\"32\" regnum=\"38\" type=\"int\" group=\"system\"/>\n"
         "<reg name=\"control\" bitsize=\"32\" regnum=\"39\" type=\"int\" group=\"system\"/>\n"
         "</feature>\n"
         "</target>\n";
    return x;
  }();
  return xml;
}

}  // namespace vboard::gdb
