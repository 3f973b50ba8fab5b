// The daemon's usage text, character for character, as the end-to-end
// tests expect vigild to print it.
#ifndef VIGILD_TESTS_SUPPORT_USAGETEXT_H
#define VIGILD_TESTS_SUPPORT_USAGETEXT_H

inline const char kUsageText[] =
    "Usage: vigild [-c ChannelNumber] [-l CollectorNumber] [-f ConfigurationFile]\n"
    " accepted arguments : \n"
    "   -c ChannelNumber                     // if missing $TLM_SNMP_COLL_CHANNEL is used "
    "instead\n"
    "   -l CollectorNumber                   // if missing $TLM_SNMP_COLL_NUMBER is used "
    "instead\n"
    "   [-f ConfigurationFile]               // if missing $TLMHOME/conf/registry.conf is used "
    "as template\n"
    "  -{d|D|debug} debugLevel\n"
    "   [-P portNumber]                      // if missing $TLM_SNMP_COLL_VIGILDPORT is used "
    "instead\n";

#endif  // VIGILD_TESTS_SUPPORT_USAGETEXT_H
