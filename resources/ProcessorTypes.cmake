# Processor type codes (the PROC_NUM_<n> words) and the last program address, inclusive, that
# each gives. The build-data check reads this list, and the image store is compiled from it.
set(corvane_processor_types
    2525=0xBFFF
    2620=0xFFFF
    4321=0x1FFF
    4680=0xFFFF
    6622=0xFFFF)
