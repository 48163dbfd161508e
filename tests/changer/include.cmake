# The changer tests see the wire records of the changer family and the stand-in's shared record.
target_include_directories(test_changer PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/inc ${PROJECT_SOURCE_DIR}/src/drv/platform
  ${CMAKE_CURRENT_LIST_DIR}/drivers)

# vyrsim with a changer: the paths listing shows it with its two paths, and a move while the
# primary path times out completes on the other path; the event log has the changer bus's
# failover text. With a drive behind it, the moved cartridge loads the drive for a write.
add_test(NAME changer.vyrsim_changer_paths COMMAND vyrsim --changers 1 --paths 2 boot paths)
set_tests_properties(changer.vyrsim_changer_paths PROPERTIES LABELS changer
  PASS_REGULAR_EXPRESSION "Logical devices \\(1\\):\n  Changer0 +serial VYRCHG0000001000 +failover on\n    path 0  [0-9:]+ +available( +primary)?\n    path 1  [0-9:]+ +available( +primary)?\n")
set_tests_properties(changer.vyrsim_changer_paths PROPERTIES FAIL_REGULAR_EXPRESSION "primary\n[^\n]*primary\n")
add_test(NAME changer.vyrsim_move_fails_over COMMAND vyrsim --drives 1 --changers 1 --paths 2 --blocks 4
  --setting FailoverEventsEnabled=1 boot paths fault Changer0/primary status 0xC00000B5 --opcode 0xA5
  move Changer0 slot2 drive0 write Tape0 verify Tape0 changer Changer0 events)
set_tests_properties(changer.vyrsim_move_fails_over PROPERTIES LABELS changer
  PASS_REGULAR_EXPRESSION "fault Changer0/primary status 0xC00000B5 --opcode 0xA5: status [^\n]*, once, opcode 0xA5 only on Changer0/[01] \\(fabric path [0-9]+\\): 0x00000000[^\n]*\nmove Changer0 slot2 -> drive0 \\(0x1002 -> 0x0100\\): 0x00000000 \\(STATUS_SUCCESS\\)\n  Tape0 behind drive0: 0x00000000 \\(STATUS_SUCCESS\\) after [12] unit attention\\(s\\)\nwrite Tape0: 4 blocks, 262144 bytes: 0x00000000.*verify Tape0: 4 of 4 blocks read back \\(262144 bytes\\), 0 differ: verified.*  drive0 +0x0100  VYR0003L8 \\(from slot2\\)  behind it: Tape0\n.*VYR Changer Bus Enumerator received status \\(NTSTATUS 0xC00000B5\\) on IOCTL 0x[0-9A-F]+\\.  If Control Path Failover is supported and configured, failover will be attempted\\.")
