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

module advec_mom_driver_module
  implicit none
contains
  subroutine advec_mom_driver(x)
    double precision, intent(inout) :: x
    x = x + 1
  end subroutine advec_mom_driver

  subroutine advec_mom_kernel(x)
    double precision, intent(inout) :: x
    x = x * 1.5d0
  end subroutine advec_mom_kernel
end module advec_mom_driver_module

program fortran_functions_host
  use physics
  use advec_mom_driver_module
  implicit none
  double precision :: x
  integer :: step
  x = 1
  do step = 1, 3
    call advance(x)
  end do
  if (x < 3) error stop "advance"
  do step = 1, 4
    if (step <= 2) call advec_mom_driver(x)
    call advec_mom_kernel(x)
  end do
end program fortran_functions_host
