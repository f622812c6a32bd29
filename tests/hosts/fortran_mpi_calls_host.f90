! An MPI program in Fortran with no timer of its own, through the mpi
! module and mpif.h: linked with timetree's Fortran MPI library and run
! with TIMETREE_MPI_CALLS=1, its MPI calls are timed. 10 all-reduces of one
! double, a broadcast of 4 integers (by mpif.h), rank 0 sends 100 bytes to
! rank 1 (which posts a receive of 200), an all-to-all of 1 and 3 integers
! (16 bytes from each rank: every rank's count summed), a barrier.
program fortran_mpi_calls_host
  use mpi
  implicit none
  integer :: rank, ierr, i, values(4), sent(4), got(6), c
  double precision :: x, total
  character(len=100) :: message
  character(len=200) :: arrived
  call MPI_Init(ierr)
  call MPI_Comm_rank(MPI_COMM_WORLD, rank, ierr)
  x = rank
  do i = 1, 10
    call MPI_Allreduce(x, total, 1, MPI_DOUBLE_PRECISION, MPI_SUM, MPI_COMM_WORLD, ierr)
  end do
  values = [1, 2, 3, 4]
  call broadcast(values)
  message = ' '
  if (rank == 0) call MPI_Send(message, 100, MPI_CHARACTER, 1, 7, MPI_COMM_WORLD, ierr)
  if (rank == 1) call MPI_Recv(arrived, 200, MPI_CHARACTER, 0, 7, MPI_COMM_WORLD, &
                               MPI_STATUS_IGNORE, ierr)
  sent = rank
  c = 1 + 2 * rank  ! what each rank sends this one
  call MPI_Alltoallv(sent, [1, 3], [0, 1], MPI_INTEGER, got, [c, c], [0, c], MPI_INTEGER, &
                     MPI_COMM_WORLD, ierr)
  call MPI_Barrier(MPI_COMM_WORLD, ierr)
  call MPI_Finalize(ierr)
end program fortran_mpi_calls_host

subroutine broadcast(values)
  implicit none
  include 'mpif.h'
  integer, intent(inout) :: values(4)
  integer :: ierr
  call MPI_Bcast(values, 4, MPI_INTEGER, 0, MPI_COMM_WORLD, ierr)
end subroutine broadcast
