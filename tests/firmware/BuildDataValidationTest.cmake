# Runs the build-data check on the demo data and on broken copies of it; every broken copy
# must fail with a message that names the fault.
#
#   cmake -DVALIDATOR=... -DDEMO=... -DWORK=... -P BuildDataValidationTest.cmake

cmake_minimum_required(VERSION 3.25)

set(failures "")
set(cases 0)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(fresh_copy name out_dir)
    set(dir "${WORK}/${name}")
    file(MAKE_DIRECTORY "${dir}")
    file(GLOB files LIST_DIRECTORIES false "${DEMO}/*")
    file(COPY ${files} DESTINATION "${dir}")
    set(${out_dir} "${dir}" PARENT_SCOPE)
endfunction()

function(validate dir out_result out_text)
    execute_process(COMMAND ${CMAKE_COMMAND} -DBUILD_DATA_DIR=${dir} -P ${VALIDATOR}
                    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    # CMake wraps long message lines: compare the text with its line breaks folded.
    string(REGEX REPLACE "[ \n]+" " " text "${out}${err}")
    set(${out_result} "${result}" PARENT_SCOPE)
    set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

macro(expect_failure name expected)
    math(EXPR cases "${cases} + 1")
    validate("${dir}" result text)
    if(result EQUAL 0)
        list(APPEND failures "${name}: the check passed")
    else()
        string(FIND "${text}" "${expected}" at)
        if(at EQUAL -1)
            list(APPEND failures "${name}: message lacks '${expected}': ${text}")
        endif()
    endif()
endmacro()

function(replace_in file from to)
    file(READ "${file}" content)
    string(FIND "${content}" "${from}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "test setup: '${from}' not in ${file}")
    endif()
    string(REPLACE "${from}" "${to}" content "${content}")
    file(WRITE "${file}" "${content}")
endfunction()

# The demo data itself passes.
math(EXPR cases "${cases} + 1")
validate("${DEMO}" result text)
if(NOT result EQUAL 0)
    list(APPEND failures "demo data: ${text}")
endif()

fresh_copy(missing_word dir)
file(REMOVE "${dir}/FW_VER_2")
expect_failure(missing_word "FW_VER_2 is missing")

fresh_copy(three_byte_word dir)
file(WRITE "${dir}/MB_FW_SLAVE" "abc")
expect_failure(three_byte_word "MB_FW_SLAVE is 3 bytes")

fresh_copy(empty_word dir)
file(WRITE "${dir}/EXT_PROC_REV" "")
expect_failure(empty_word "EXT_PROC_REV is 0 bytes")

fresh_copy(short_image dir)
file(WRITE "${dir}/HFILE_4003" "not an image")
expect_failure(short_image "HFILE_4003 is 12 bytes, but an image must be exactly 65536 bytes")

fresh_copy(missing_sub_image dir)
file(REMOVE "${dir}/HFILE_3")
expect_failure(missing_sub_image "HFILE_3 is missing")

fresh_copy(no_cpu1_image dir)
file(GLOB cpu1_images "${dir}/HFILE_4*")
file(REMOVE ${cpu1_images})
expect_failure(no_cpu1_image "no CPU-1 image")

fresh_copy(image_not_in_table dir)
file(COPY_FILE "${dir}/HFILE_4001" "${dir}/HFILE_4999")
expect_failure(image_not_in_table "HFILE_4999 is carried, but RM 4999 is not in PRODUCTS.csv")

fresh_copy(image_with_leading_zero dir)
file(COPY_FILE "${dir}/HFILE_4001" "${dir}/HFILE_04001")
expect_failure(image_with_leading_zero "HFILE_04001: an image is named HFILE_ and a decimal")

fresh_copy(missing_notes dir)
file(REMOVE "${dir}/VERTEXT_6204")
expect_failure(missing_notes "VERTEXT_6204 (release notes) is missing")

fresh_copy(missing_cpu1_notes dir)
file(REMOVE "${dir}/VERTEXT_CPU1")
expect_failure(missing_cpu1_notes "VERTEXT_CPU1 (release notes) is missing")

fresh_copy(missing_table dir)
file(REMOVE "${dir}/PRODUCTS.csv")
expect_failure(missing_table "PRODUCTS.csv is missing")

fresh_copy(duplicate_rm dir)
replace_in("${dir}/PRODUCTS.csv" "\n4005," "\n4001,")
expect_failure(duplicate_rm "RM 4001 appears twice")

fresh_copy(rm_zero dir)
replace_in("${dir}/PRODUCTS.csv" "\n1105," "\n0,")
expect_failure(rm_zero "RM '0' is not a number 1..65535")

fresh_copy(too_few_rows dir)
replace_in("${dir}/PRODUCTS.csv" "3109,CV-D26 Max,1,1,3,50,0,0,1\n" "")
expect_failure(too_few_rows "PRODUCTS.csv has 52 rows, but the product table has 53")

fresh_copy(bad_header dir)
replace_in("${dir}/PRODUCTS.csv" "RM,L,D,N,H,U,M,T,B" "RM,L,D,N,H,U,M,T")
expect_failure(bad_header "the first line must be 'RM,L,D,N,H,U,M,T,B'")

fresh_copy(bad_boolean dir)
replace_in("${dir}/PRODUCTS.csv" "1101,CV-A10 Lite,1," "1101,CV-A10 Lite,yes,")
expect_failure(bad_boolean "line 14: Boolean field 2 is 'yes', not 0 or 1")

fresh_copy(bad_family dir)
replace_in("${dir}/PRODUCTS.csv" "2101,CV-B10 Lite,1,1,1," "2101,CV-B10 Lite,1,1,4,")
expect_failure(bad_family "family H '4' is not 0..3")

fresh_copy(missing_field dir)
replace_in("${dir}/PRODUCTS.csv" "2102,CV-B12 Plus,1,0,1,64,0,0,0" "2102,CV-B12 Plus,1,0,1,64,0,0")
expect_failure(missing_field "7 commas, but a row has 9 fields")

fresh_copy(semicolon_label dir)
replace_in("${dir}/PRODUCTS.csv" "CV-B12 Plus" "CV-B12;Plus")
expect_failure(semicolon_label "contains a semicolon")

fresh_copy(carried_cpu2_not_in_table dir)
replace_in("${dir}/PRODUCTS.csv" "\n5103," "\n5199,")
expect_failure(carried_cpu2_not_in_table "RM_NUM_2 is 5103, which is not in PRODUCTS.csv")

fresh_copy(carried_cpu1_not_in_table dir)
file(COPY_FILE "${dir}/RM_NUM_2" "${dir}/RM_NUM_1")
replace_in("${dir}/PRODUCTS.csv" "\n5103," "\n5199,")
expect_failure(carried_cpu1_not_in_table "RM_NUM_1 is 5103, which is not in PRODUCTS.csv")

fresh_copy(boot_equals_cpu2 dir)
file(COPY_FILE "${dir}/RM_NUM_2" "${dir}/BOOT_RM_NUMBER")
expect_failure(boot_equals_cpu2 "BOOT_RM_NUMBER equals RM_NUM_2 (5103)")

fresh_copy(boot_missing dir)
file(REMOVE "${dir}/BOOT_RM_NUMBER")
expect_failure(boot_missing "BOOT_RM_NUMBER is missing")

# A word file of two bytes, low byte first; neither byte may be 0.
function(write_word file low high)
    string(ASCII ${low} ${high} bytes)
    file(WRITE "${file}" "${bytes}")
endfunction()

# Program ranges.
fresh_copy(unknown_processor dir)
file(COPY_FILE "${dir}/RM_NUM_1" "${dir}/PROC_NUM_1")
expect_failure(unknown_processor "PROC_NUM_1 is ")
expect_failure(unknown_processor_named "which is not a known processor type")

fresh_copy(cpu1_rows dir)
write_word("${dir}/PROG_MEM_START_1" 1 8) # 0x0801
expect_failure(cpu1_rows "processor 1: the program range 0x0801..0xFFFF is 63487 bytes, not a whole number of 512-byte erase rows")

fresh_copy(sub_chunks dir)
write_word("${dir}/PROG_MEM_START_3" 4 16) # 0x1004: 61436 bytes
expect_failure(sub_chunks "processor 3: the program range 0x1004..0xFFFF is 61436 bytes, not a whole number of 24-byte chunks")

fresh_copy(empty_range dir)
write_word("${dir}/PROC_NUM_2" 225 16) # 4321: last address 0x1FFF
write_word("${dir}/PROG_MEM_START_2" 1 32) # 0x2001
expect_failure(empty_range "PROG_MEM_START_2 is 0x2001, past the last program address 0x1FFF of processor 2: the program range is empty")

fresh_copy(short_processor_ok dir)
write_word("${dir}/PROC_NUM_2" 225 16) # 4321: 0x1000..0x1FFF is 4096 bytes, not 24-byte chunks
expect_failure(short_processor "processor 2: the program range 0x1000..0x1FFF is 4096 bytes")

# Names in another letter case are not silently dropped.
fresh_copy(lower_case_notes dir)
file(COPY_FILE "${dir}/VERTEXT_6204" "${dir}/VerText_6204")
expect_failure(lower_case_notes "VerText_6204 differs from VERTEXT_6204 only by letter case")

fresh_copy(lower_case_image dir)
file(COPY_FILE "${dir}/HFILE_4001" "${dir}/hfile_4007")
expect_failure(lower_case_image "hfile_4007: resource names are upper case")

fresh_copy(lower_case_table dir)
file(COPY_FILE "${dir}/PRODUCTS.csv" "${dir}/products.csv")
expect_failure(lower_case_table "products.csv differs from PRODUCTS.csv only by letter case")

# Product-table numbers within their fields.
fresh_copy(u_too_wide dir)
replace_in("${dir}/PRODUCTS.csv" "2102,CV-B12 Plus,1,0,1,64," "2102,CV-B12 Plus,1,0,1,2147483648,")
expect_failure(u_too_wide "U 2147483648 does not fit 0..2147483647")

fresh_copy(u_far_too_wide dir)
replace_in("${dir}/PRODUCTS.csv" "2102,CV-B12 Plus,1,0,1,64," "2102,CV-B12 Plus,1,0,1,99999999999999999999,")
expect_failure(u_far_too_wide "U 99999999999999999999 does not fit")

fresh_copy(rm_far_too_wide dir)
replace_in("${dir}/PRODUCTS.csv" "\n1105," "\n99999999999999999999,")
expect_failure(rm_far_too_wide "RM '99999999999999999999' is not a number 1..65535")

# Several faults at once are all named.
fresh_copy(several dir)
file(REMOVE "${dir}/PROC_NUM_3")
file(WRITE "${dir}/HFILE_2" "x")
expect_failure(several_first "PROC_NUM_3 is missing")
expect_failure(several_second "HFILE_2 is 1 bytes")

set(dir "${WORK}/does_not_exist")
expect_failure(missing_folder "does not exist")

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "${cases} cases, failures:\n  ${text}")
endif()
message(STATUS "${cases} cases passed")
