// QelHandle.cs - the connection handle of the C# binding as a SafeHandle: freed exactly
// once, never while a call holds it, and on a background thread when ZeroMQ may wait for
// ever to deliver a request nobody answers.
using System;
using System.Runtime.ConstrainedExecution;
using System.Runtime.InteropServices;
using System.Threading;

namespace QelZmq
{
    /// <summary>
    /// A connection handle from createConnectionHandle. The runtime frees it exactly once,
    /// through Dispose or the critical finalizer, and never while a call that received it
    /// is still inside the library (the marshaller holds a reference for each call).
    /// </summary>
    internal sealed class QelHandle : SafeHandle
    {
        // Set when an exchange failed: its request may still be queued for a service that
        // is not there, and freeHandle would then wait (ZeroMQ's linger) to deliver it.
        private volatile bool abandoned;

        private QelHandle() : base(IntPtr.Zero, true) { }

        /// <summary>A new handle from createConnectionHandle, or an invalid one.</summary>
        internal static QelHandle Create()
        {
            QelHandle made = new QelHandle();
            // The object exists before the call and takes the handle in a finally block,
            // where no thread abort is delivered: nothing can come between the two and
            // leak the handle. (Mono's marshaller, returning a SafeHandle itself, can.)
            try
            {
            }
            finally
            {
                made.SetHandle(NativeMethods.createConnectionHandle());
            }
            return made;
        }

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        internal void Abandon()
        {
            abandoned = true;
        }

        // Runs call with the raw handle, which cannot be released before call returns:
        // the reference is taken and given back in finally blocks, where no thread abort
        // is delivered.
        internal T Use<T>(Func<IntPtr, T> call)
        {
            bool added = false;
            try
            {
                DangerousAddRef(ref added);
                return call(handle);
            }
            finally
            {
                if (added)
                    DangerousRelease();
            }
        }

        [ReliabilityContract(Consistency.WillNotCorruptState, Cer.Success)]
        protected override bool ReleaseHandle()
        {
            IntPtr freed = handle;
            if (abandoned)
            {
                // A background thread does the possibly endless wait, so neither the
                // caller, the finalizer thread nor process exit is held up by it.
                Thread releaser = new Thread(() => NativeMethods.freeHandle(freed));
                releaser.IsBackground = true;
                releaser.Name = "QelZmq-freeHandle";
                releaser.Start();
            }
            else
            {
                NativeMethods.freeHandle(freed);
            }
            return true;
        }
    }
}
