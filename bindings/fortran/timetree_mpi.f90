! timetree for Fortran MPI programs (module timetree_mpi): the timers of all
! ranks combined. Both calls are collective over comm, a communicator of the
! mpi module or mpif.h (an integer; with mpi_f08, pass comm%MPI_VAL). ok, when
! given, is .true. on every rank when the summary or the file was written.
! Link timetree::mpi_fortran (CMake) or timetree-mpi-fortran (pkg-config).
module timetree_mpi
  use, intrinsic :: iso_c_binding, only: c_char, c_int, c_null_char
  implicit none
  private

  public :: timetree_mpi_summary, timetree_mpi_write_json

  interface
    function c_summary(comm) bind(C, name="timetree_mpi_fortran_summary") result(written)
      import :: c_int
      integer(c_int), value :: comm
      integer(c_int) :: written
    end function c_summary
    function c_write_json(comm, path) bind(C, name="timetree_mpi_fortran_write_json") &
        result(written)
      import :: c_char, c_int
      integer(c_int), value :: comm
      character(kind=c_char), intent(in) :: path(*)
      integer(c_int) :: written
    end function c_write_json
  end interface

contains

  ! Rank 0 writes the summary table to its open channels.
  subroutine timetree_mpi_summary(comm, ok)
    integer, intent(in) :: comm
    logical, intent(out), optional :: ok
    logical :: written
    written = c_summary(int(comm, c_int)) /= 0
    if (present(ok)) ok = written
  end subroutine timetree_mpi_summary

  ! Rank 0 writes the combined JSON to path (trailing blanks trimmed).
  subroutine timetree_mpi_write_json(comm, path, ok)
    integer, intent(in) :: comm
    character(len=*), intent(in) :: path
    logical, intent(out), optional :: ok
    logical :: written
    written = c_write_json(int(comm, c_int), trim(path) // c_null_char) /= 0
    if (present(ok)) ok = written
  end subroutine timetree_mpi_write_json

end module timetree_mpi
