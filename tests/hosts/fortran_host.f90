! A Fortran 2008 host of module timetree: nested timers, names with
! trailing blanks, of 30 and of 70 characters, one ending in c_null_char, call-site records, both reports, a comment, the
! banner and the three exports into the folder given as the first argument.
! check_fortran_host.py then checks what it wrote.
program fortran_host
  use, intrinsic :: iso_c_binding, only: c_null_char
  use timetree
  implicit none
  character(len=*), parameter :: terminated = "fast" // c_null_char
  character(len=4096) :: folder
  character(len=16) :: padded
  character(len=*), parameter :: thirty = "assemble_stiffness_matrix_and_"
  character(len=70) :: seventy
  integer :: i
  type(timetree_site), save :: solve_site, thirty_site

  call get_command_argument(1, folder)
  seventy = repeat("x", 69) // "y"
  padded = "solve"

  call timetree_open(trim(folder) // "/report.txt   ")
  call timetree_build_info()
  call timetree_comment("fortran host" // new_line("a"))
  call timetree_set_metadata("case   ", "fortran host   ")

  call timetree_start("run")
  ! The same timers by name and through call-site records (the inner one's
  ! record filled in the first pass, used in the second; the outer started
  ! through its record and stopped by name).
  do i = 1, 2
    if (i == 1) then
      call timetree_start(padded)
    else
      call timetree_site_start(solve_site, padded)
    end if
    call timetree_site_start(thirty_site, thirty)
    call timetree_site_stop(thirty_site, thirty)
    call timetree_stop("solve     ")
  end do
  call timetree_start(seventy)
  call timetree_stop(seventy)
  call timetree_start(terminated)
  call timetree_stop("fast")
  ! Names of one length that differ in their last letter only, passed
  ! with their length and no terminator: each its own timer (the inner one
  ! through a record that keeps another name: timed by its own).
  call timetree_start("phase_a")
  call timetree_site_start(solve_site, "phase_b")
  call timetree_site_stop(solve_site, "phase_b")
  call timetree_stop("phase_a")
  call timetree_stop("run")

  call timetree_print()
  call timetree_print_indented("  ")
  if (.not. timetree_write_json(trim(folder) // "/fortran.json  ")) error stop "json"
  if (.not. timetree_write_folded(trim(folder) // "/fortran.folded")) error stop "folded"
  if (.not. timetree_write_flamegraph(trim(folder) // "/fortran.svg")) error stop "svg"
  ! No timeline is recorded without TIMETREE_TRACE.
  if (timetree_write_trace(trim(folder) // "/fortran.trace.json")) error stop "trace"
  call timetree_close()
  call timetree_clear()
  if (timetree_write_json(trim(folder) // "/empty.json")) error stop "json of no timers"
end program fortran_host
