! timetree for Fortran hosts: named, nested timers (module timetree).
!
! Each procedure does what the C++ function it names does. Timer names and
! paths lose their trailing blanks, as Fortran compares strings; a comment
! and an indentation unit are passed as they are. A name that ends in
! c_null_char (a constant, say "solve" // c_null_char) is passed as it is. Any thread may call any of
! them. Link timetree::fortran (CMake) or timetree-fortran (pkg-config).
module timetree
  use, intrinsic :: iso_c_binding, only: c_char, c_int, c_null_char, c_null_ptr, c_ptr, c_loc, &
                                         c_size_t, c_int64_t
  implicit none
  private

  public :: timetree_site, timetree_site_start, timetree_site_stop
  public :: timetree_start, timetree_stop, timetree_clear, timetree_print, &
            timetree_print_indented, timetree_comment, timetree_open, timetree_close, &
            timetree_build_info, timetree_write_json, timetree_write_folded, &
            timetree_write_trace, &
            timetree_write_flamegraph, timetree_set_metadata

  ! A call site's record: a variable with the save attribute, one per place
  ! in the code that starts a timer, handed to timetree_site_start and
  ! timetree_site_stop with the timer's name; once the library has filled it
  ! the pair skips the name's lookup. Its contents are the library's.
  type :: timetree_site
    private
    integer(c_int64_t) :: words(16) = 0_c_int64_t  ! the record, at its first 64-byte line
  end type timetree_site

  interface
    subroutine c_site_start(site, name, length) bind(C, name="timetree_fortran_site_start")
      import :: c_char, c_size_t, c_int64_t
      integer(c_int64_t), intent(inout) :: site(16)
      character(kind=c_char), intent(in) :: name(*)
      integer(c_size_t), value :: length
    end subroutine c_site_start
    subroutine c_site_stop(site, name, length) bind(C, name="timetree_fortran_site_stop")
      import :: c_char, c_size_t, c_int64_t
      integer(c_int64_t), intent(inout) :: site(16)
      character(kind=c_char), intent(in) :: name(*)
      integer(c_size_t), value :: length
    end subroutine c_site_stop
    subroutine c_start(name) bind(C, name="timetree_start")
      import :: c_char
      character(kind=c_char), intent(in) :: name(*)
    end subroutine c_start
    subroutine c_stop(name) bind(C, name="timetree_stop")
      import :: c_char
      character(kind=c_char), intent(in) :: name(*)
    end subroutine c_stop
    ! Names with their length, as Fortran holds them: no copy, no terminator.
    subroutine c_start_n(name, length) bind(C, name="timetree_start_n")
      import :: c_char, c_size_t
      character(kind=c_char), intent(in) :: name(*)
      integer(c_size_t), value :: length
    end subroutine c_start_n
    subroutine c_stop_n(name, length) bind(C, name="timetree_stop_n")
      import :: c_char, c_size_t
      character(kind=c_char), intent(in) :: name(*)
      integer(c_size_t), value :: length
    end subroutine c_stop_n
    subroutine c_clear() bind(C, name="timetree_clear")
    end subroutine c_clear
    subroutine c_print() bind(C, name="timetree_print")
    end subroutine c_print
    subroutine c_print_indented(unit) bind(C, name="timetree_print_indented")
      import :: c_char
      character(kind=c_char), intent(in) :: unit(*)
    end subroutine c_print_indented
    subroutine c_comment(text) bind(C, name="timetree_comment")
      import :: c_char
      character(kind=c_char), intent(in) :: text(*)
    end subroutine c_comment
    subroutine c_open(path) bind(C, name="timetree_open")
      import :: c_ptr
      type(c_ptr), value :: path
    end subroutine c_open
    subroutine c_close() bind(C, name="timetree_close")
    end subroutine c_close
    subroutine c_build_info() bind(C, name="timetree_build_info")
    end subroutine c_build_info
    subroutine c_set_metadata(key, value) bind(C, name="timetree_set_metadata")
      import :: c_char
      character(kind=c_char), intent(in) :: key(*), value(*)
    end subroutine c_set_metadata
    function c_write_json(path) bind(C, name="timetree_write_json") result(written)
      import :: c_char, c_int
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: written
    end function c_write_json
    function c_write_trace(path) bind(C, name="timetree_write_trace") result(written)
      import :: c_char, c_int
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: written
    end function c_write_trace
    function c_write_folded(path) bind(C, name="timetree_write_folded") result(written)
      import :: c_char, c_int
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: written
    end function c_write_folded
    function c_write_flamegraph(path) bind(C, name="timetree_write_flamegraph") result(written)
      import :: c_char, c_int
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: written
    end function c_write_flamegraph
  end interface

contains

  ! len_trim, inlined (and comparing codes, not strings, which would call
  ! the runtime): a name without trailing blanks costs one compare.
  pure integer function trimmed_length(text)
    character(len=*), intent(in) :: text
    trimmed_length = len(text)
    do while (trimmed_length > 0)
      if (iachar(text(trimmed_length:trimmed_length)) /= 32) exit
      trimmed_length = trimmed_length - 1
    end do
  end function trimmed_length

  ! timetree_start and timetree_stop of name (trailing blanks trimmed)
  ! through site, whose first start keeps the name: a start or stop under
  ! another name is timed by that name.
  subroutine timetree_site_start(site, name)
    type(timetree_site), intent(inout) :: site
    character(len=*), intent(in) :: name
    call c_site_start(site%words, name, int(trimmed_length(name), c_size_t))
  end subroutine timetree_site_start

  subroutine timetree_site_stop(site, name)
    type(timetree_site), intent(inout) :: site
    character(len=*), intent(in) :: name
    call c_site_stop(site%words, name, int(trimmed_length(name), c_size_t))
  end subroutine timetree_site_stop

  ! Starts timer name (trailing blanks trimmed) under the current timer.
  subroutine timetree_start(name)
    character(len=*), intent(in) :: name
    integer :: n
    n = len(name)
    if (n > 0) then
      if (iachar(name(n:n)) == 0) then
        call c_start(name)
        return
      end if
    end if
    call c_start_n(name, int(trimmed_length(name), c_size_t))
  end subroutine timetree_start

  ! Stops the current timer; name (trailing blanks trimmed) as for
  ! TimeStopTimer, which repairs an unbalanced stop.
  subroutine timetree_stop(name)
    character(len=*), intent(in) :: name
    integer :: n
    n = len(name)
    if (n > 0) then
      if (iachar(name(n:n)) == 0) then
        call c_stop(name)
        return
      end if
    end if
    call c_stop_n(name, int(trimmed_length(name), c_size_t))
  end subroutine timetree_stop

  subroutine timetree_clear()
    call c_clear()
  end subroutine timetree_clear

  ! The flat report.
  subroutine timetree_print()
    call c_print()
  end subroutine timetree_print

  ! The indented report, each level indented by unit (absent: ".").
  subroutine timetree_print_indented(unit)
    character(len=*), intent(in), optional :: unit
    if (present(unit)) then
      call c_print_indented(unit // c_null_char)
    else
      call c_print_indented(c_null_char)
    end if
  end subroutine timetree_print_indented

  ! Writes text as it is (no newline added) to each open channel.
  subroutine timetree_comment(text)
    character(len=*), intent(in) :: text
    call c_comment(text // c_null_char)
  end subroutine timetree_comment

  ! Clears the timers, reads the switches and opens the channels they name;
  ! path (trailing blanks trimmed) is the file's, absent for none.
  subroutine timetree_open(path)
    character(len=*), intent(in), optional :: path
    character(kind=c_char), allocatable, target :: text(:)
    integer :: i, n
    if (.not. present(path)) then
      call c_open(c_null_ptr)
      return
    end if
    n = len_trim(path)
    allocate(text(n + 1))
    do i = 1, n
      text(i) = path(i:i)
    end do
    text(n + 1) = c_null_char
    call c_open(c_loc(text))
  end subroutine timetree_open

  subroutine timetree_close()
    call c_close()
  end subroutine timetree_close

  ! The build banner, once until the next timetree_close.
  subroutine timetree_build_info()
    call c_build_info()
  end subroutine timetree_build_info

  ! A key of the run's metadata (both trailing blanks trimmed); the last
  ! value wins.
  subroutine timetree_set_metadata(key, value)
    character(len=*), intent(in) :: key, value
    call c_set_metadata(trim(key) // c_null_char, trim(value) // c_null_char)
  end subroutine timetree_set_metadata

  ! The exports: .true. when the file at path (trailing blanks trimmed) was
  ! written whole.
  logical function timetree_write_json(path)
    character(len=*), intent(in) :: path
    timetree_write_json = c_write_json(trim(path) // c_null_char) /= 0
  end function timetree_write_json

  logical function timetree_write_folded(path)
    character(len=*), intent(in) :: path
    timetree_write_folded = c_write_folded(trim(path) // c_null_char) /= 0
  end function timetree_write_folded

  ! The timeline, recorded while TIMETREE_TRACE is set: .false. without it.
  logical function timetree_write_trace(path)
    character(len=*), intent(in) :: path
    timetree_write_trace = c_write_trace(trim(path) // c_null_char) /= 0
  end function timetree_write_trace

  logical function timetree_write_flamegraph(path)
    character(len=*), intent(in) :: path
    timetree_write_flamegraph = c_write_flamegraph(trim(path) // c_null_char) /= 0
  end function timetree_write_flamegraph

end module timetree
