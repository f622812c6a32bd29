! A Fortran program that knows nothing of timetree, compiled with
! -finstrument-functions and linked with libtimetree_functions: its main
! program and each procedure a timer, a module procedure named as
! module::procedure.
module physics
  implicit none
contains
  subroutine advance(x)
    double precision, intent(inout) :: x
    x = x + flux(x)
  end subroutine advance

  double precision function flux(x)
    double precision, intent(in) :: x
    flux = 0.5d0 * x
  end function flux
end module physics

program fortran_functions_host
  use physics
  implicit none
  double precision :: x
  integer :: step
  x = 1
  do step = 1, 3
    call advance(x)
  end do
  if (x < 3) error stop "advance"
end program fortran_functions_host
